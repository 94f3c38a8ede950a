// The browser's half of the audio library's web output: it fetches and decodes tracks with the
// browser's own decoders before the show opens them, and plays them through Web Audio.
Module.webAudio = {
  context: null,
  tracks: {},  // file name -> { buffer, rate } once decoded, or { error }
  streams: [],

  // Fetches and decodes a track; resolves either way, the failure kept for the show to report.
  prepare: function(name) {
    var audio = this;
    if (!audio.context) audio.context = Module.audioContext || new AudioContext({ latencyHint: 'playback' });
    return fetch(encodeURI(name)).then(function(response) {
      if (!response.ok) {
        throw new Error(response.status == 404 ? 'No such file or directory' :
                        'the server answered ' + response.status + ' ' + response.statusText);
      }
      return response.arrayBuffer();
    }).then(function(bytes) {
      var rate = audio.trackRate(new Uint8Array(bytes));
      return audio.context.decodeAudioData(bytes).then(function(buffer) {
        audio.tracks[name] = { buffer: buffer, rate: rate || buffer.sampleRate };
      }, function(error) {
        throw new Error('the browser cannot decode it' + (error && error.message ? ' (' + error.message + ')' : ''));
      });
    }).catch(function(error) {
      audio.tracks[name] = { error: error.message || String(error) };
    });
  },

  // The browser decodes at its output's rate; the show counts in the track's own frames, which
  // only the file's header tells (MP3, WAV, FLAC, Ogg Vorbis and Opus). 0 if it cannot tell.
  trackRate: function(b) {
    var text = function(at, length) { return String.fromCharCode.apply(null, b.subarray(at, at + length)); };
    var le32 = function(at) { return (b[at] | b[at + 1] << 8 | b[at + 2] << 16 | b[at + 3] << 24) >>> 0; };
    if (text(0, 4) == 'RIFF' && text(8, 4) == 'WAVE') {
      for (var at = 12; at + 16 <= b.length; at += 8 + le32(at + 4) + (le32(at + 4) & 1))
        if (text(at, 4) == 'fmt ') return le32(at + 12);
      return 0;
    }
    if (text(0, 4) == 'fLaC') return b[18] << 12 | b[19] << 4 | b[20] >> 4;
    if (text(0, 4) == 'OggS') {
      var packet = 27 + 1 + b[26];  // the first page's first packet
      if (text(packet, 7) == '\x01vorbis') return le32(packet + 12);
      return text(packet, 8) == 'OpusHead' ? 48000 : 0;
    }
    var start = 0;
    if (text(0, 3) == 'ID3') start = 10 + ((b[6] & 127) << 21 | (b[7] & 127) << 14 | (b[8] & 127) << 7 | b[9] & 127);
    for (var i = start; i + 3 < b.length && i < start + 65536; i++) {
      if (b[i] != 0xff || (b[i + 1] & 0xe0) != 0xe0) continue;
      var version = b[i + 1] >> 3 & 3, layer = b[i + 1] >> 1 & 3, index = b[i + 2] >> 2 & 3;
      if (version == 1 || layer == 0 || index == 3 || (b[i + 2] >> 4) == 15) continue;
      return [44100, 48000, 32000][index] / (version == 3 ? 1 : version == 2 ? 2 : 4);
    }
    return 0;
  },

  // Copies count frames of a decoded track from frame at on, as interleaved 16-bit samples.
  read: function(name, at, count, samples) {
    var buffer = this.tracks[name].buffer, channels = buffer.numberOfChannels;
    count = Math.max(0, Math.min(count, buffer.length - at));
    for (var c = 0; c < channels; c++) {
      var data = buffer.getChannelData(c);
      for (var i = 0; i < count; i++)
        HEAP16[(samples >> 1) + i * channels + c] = Math.max(-32768, Math.min(32767, Math.round(data[at + i] * 32768)));
    }
    return count;
  },

  // An id for a new stream of a decoded track.
  open: function(name) {
    var track = this.tracks[name];
    var gain = this.context.createGain();
    gain.connect(this.context.destination);
    this.streams.push({ track: track, gain: gain, node: null, start: 0, repeat: false, last: 0 });
    return this.streams.length - 1;
  },

  play: function(id) {
    var stream = this.streams[id];
    if (stream.node) return;
    stream.node = this.context.createBufferSource();
    stream.node.buffer = stream.track.buffer;
    stream.node.loop = stream.repeat;
    stream.node.connect(stream.gain);
    stream.start = this.context.currentTime;
    stream.node.start(stream.start);
    stream.playedAt = performance.now();
  },

  // The track's frame the listener hears now: the context's time at the output (what is playing
  // there, and since when) less the moment the track started, at the track's own rate. Never
  // goes back; keeps counting through silence after the track's end.
  position: function(id) {
    var stream = this.streams[id];
    if (!stream.node) return 0;
    var context = this.context, heard;
    // The context starts with the sound output, a moment after the click. A browser with no
    // output to open (Firefox, say) never starts it: the stream then keeps time on the page's
    // clock from where it is, silently.
    if (!stream.silent && context.state != 'running' && performance.now() - stream.playedAt > 1000) {
      stream.silent = true;
      stream.silentSince = performance.now() - stream.last / stream.track.rate * 1000;
      err("audio: no sound output (the browser's audio did not start); playing silently");
    }
    if (stream.silent) return this.counted(stream, (performance.now() - stream.silentSince) / 1000);
    var stamp = context.getOutputTimestamp ? context.getOutputTimestamp() : null;
    if (stamp && stamp.performanceTime > 0) {
      heard = stamp.contextTime + (performance.now() - stamp.performanceTime) / 1000;
    } else {
      heard = context.currentTime - (context.outputLatency || context.baseLatency || 0);
    }
    return this.counted(stream, heard - stream.start);
  },

  // The stream's position after seconds of the track, never less than before.
  counted: function(stream, seconds) {
    var frames = Math.floor(seconds * stream.track.rate);
    if (frames > stream.last) stream.last = Math.min(frames, 0x7fffffff);
    return stream.last;
  },

  setRepeat: function(id, repeat) {
    var stream = this.streams[id];
    stream.repeat = repeat;
    if (stream.node) stream.node.loop = repeat;
  },

  setVolume: function(id, volume) { this.streams[id].gain.gain.value = volume; },

  close: function(id) {
    var stream = this.streams[id];
    if (stream.node) stream.node.stop();
    stream.gain.disconnect();
    this.streams[id] = null;
  }
};
