'use strict';
// The page around the show: it loads the show and its media, starts it on a click (browsers let
// a page play sound only after one), and says how it ended. Any failure to start is one line.
var page = {
  panel: document.getElementById('panel'),
  message: document.getElementById('message'),
  start: document.getElementById('start'),
  track: 'brimvale.mp3',
  pictures: ['step1.png', 'this is coffee.png', 'the_machine.png', 'q_portal.png', 'all_done.png'],
  lastError: '',
  status: null,  // the show's exit status once it has ended
  startedAt: 0,
  context: null,

  say: function(text, button) {
    page.message.textContent = text;
    page.start.hidden = !button;
    page.start.disabled = !button;
    if (button) page.start.textContent = button;
    page.panel.hidden = false;
  },

  // A picture that does not load is left out: the show then shows black in its stretch. The
  // browser decodes the others as the show's files, where its SDL_image finds them.
  loadPicture: function(name) {
    return fetch(encodeURI(name)).then(function(response) {
      if (!response.ok) throw new Error('the server answered ' + response.status);
      return response.arrayBuffer();
    }).then(function(bytes) {
      return new Promise(function(resolve, reject) {
        Module.FS.createPreloadedFile('/', name, new Uint8Array(bytes), true, false, resolve,
                                      function() { reject(new Error('the browser cannot decode it')); });
      });
    }).catch(function(error) {
      console.warn('"' + name + '" did not load: ' + error.message);
    });
  },

  ended: function(status) {
    page.status = status;
    document.body.dataset.status = status;
    if (status == 1) page.say('The show has ended.', 'Play it again');
    else if (status == 2) page.say(page.lastError || 'The show could not start.');
    else page.say('The show stopped (status ' + status + ').', 'Play it again');
  }
};

var Module;

// Loads the show and its media; with again, starts it as soon as they are in (the visitor has
// clicked on the page already).
function boot(again) {
  page.status = null;
  page.lastError = '';
  delete document.body.dataset.status;
  Module = {
    canvas: document.getElementById('canvas'),
    audioContext: page.context,
    print: function(text) { console.log(text); },
    printErr: function(text) {
      console.warn(text);
      page.lastError = text;
    },
    onExit: page.ended,
    onAbort: function(what) {
      page.lastError = 'The show failed: ' + what;
      page.ended(2);
    }
  };
  var runtime = new Promise(function(resolve) { Module.onRuntimeInitialized = resolve; });
  // Each run is a fresh instance of the show.
  if (typeof createShow == 'function') {
    createShow(Module);
  } else {
    var script = document.createElement('script');
    script.src = 'show.js';
    script.onload = function() { createShow(Module); };
    script.onerror = function() { page.say('The show could not be loaded from this server.'); };
    document.body.appendChild(script);
  }
  runtime.then(function() {
    return Promise.all([Module.webAudio.prepare(page.track)].concat(page.pictures.map(page.loadPicture)));
  }).then(function() {
    var track = Module.webAudio.tracks[page.track];
    // A track that will not play fails the show's start, which says why in its one line.
    if (track.error) return Module.callMain([]);
    if (again) return play();
    page.say('Ready.', 'Start the show');
    document.body.dataset.ready = '1';
  });
}

// The show starts at once: its clock waits at 0 until the sound output has started.
function play() {
  page.start.disabled = true;
  page.startedAt = performance.now();
  page.context.resume();
  page.panel.hidden = true;
  Module.callMain([]);
}

(function() {
  // The show's exit unwinds out of its last pass as an ExitStatus; the page has its status.
  window.addEventListener('error', function(event) {
    if (event.error && event.error.name == 'ExitStatus') event.preventDefault();
  });
  if (typeof WebAssembly != 'object') return page.say('This browser cannot run the show: it has no WebAssembly.');
  if (typeof AudioContext != 'function') return page.say('This browser cannot play the show: it has no Web Audio.');
  // One context for every run: browsers start it only on a click. The show takes no input, so
  // its sound can have the longer buffer that keeps it going on a busy machine.
  page.context = new AudioContext({ latencyHint: 'playback' });
  boot(false);
  page.start.addEventListener('click', function() {
    if (page.status === null) return play();
    page.say('Loading the show…');
    boot(true);
  });
  document.getElementById('fullscreen').addEventListener('click', function() {
    if (document.fullscreenElement) document.exitFullscreen();
    else document.documentElement.requestFullscreen();
  });
})();
