// Drives Debian's chromium through the web show's page, for web_test.sh and measure-show.sh.
//   node web_page.js run URL OUT [MOMENT...]  clicks the start button, keeps the canvas as
//       "shot-MOMENT.png" that many seconds after the click, waits for the end, and writes
//       "probe.txt" (status, times, pass figures, when each picture showed) and "message.txt"
//       (what the page then says) into OUT; a moment "again" then plays it again and keeps the
//       canvas 1 s later as "shot-again.png"
//   node web_page.js hash URL COUNTER...     starts the show, stops its passes, and prints
//       "COUNTER HASH" for the effect's frame with each counter, as tests/frame_hash does
const fs = require('fs');
const path = require('path');
const puppeteer = require('puppeteer-core');

const [mode, url, ...rest] = process.argv.slice(2);

async function open() {
  const browser = await puppeteer.launch({
    executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
    headless: true,
    // Sound goes out to the desktop's server, as for a visitor; no sandbox as root.
    ignoreDefaultArgs: ['--mute-audio'],
    args: ['--no-sandbox', '--window-size=1024,768'],
  });
  const page = await browser.newPage();
  await page.setViewport({ width: 1024, height: 768 });
  page.on('console', message => process.stderr.write(`   page: ${message.text()}\n`));
  await page.goto(url);
  // Ready for its click, or already ended (a track that does not load ends it at once).
  await page.waitForFunction(() => document.body.dataset.ready || document.body.dataset.status,
                             { timeout: 20000 });
  return { browser, page };
}

// Times every pass, and when the position first passed each picture's window: what the show put
// on screen then.
function watch() {
  const lows = [67119, 123122, 189999, 256921, 505906];  // rows 2 to 6
  const passes = [];
  let begun = 0;
  window.probe = { passes, shown: {}, end: 0 };
  const frame = window.requestAnimationFrame;
  window.requestAnimationFrame = callback => frame(time => {
    begun = performance.now();
    callback(time);
    passed();
  });
  const passed = () => {
    const now = performance.now(), stream = Module.webAudio.streams[0];
    const position = stream ? stream.last : 0;
    passes.push([begun, now - begun, position]);
    lows.forEach((low, row) => {
      if (position > low && !(row + 2 in probe.shown)) probe.shown[row + 2] = now;
    });
  };
  const ended = Module.onExit;
  Module.onExit = status => { probe.end = performance.now(); ended(status); };
}

function quantile(values, q) {
  if (!values.length) return 0;
  const sorted = values.slice().sort((a, b) => a - b);
  return sorted[Math.min(sorted.length - 1, Math.floor(q * sorted.length))];
}

async function run(out, moments) {
  const { browser, page } = await open();
  await page.evaluate(watch);
  // A show that could not start has ended already.
  if (!(await page.evaluate(() => document.body.dataset.status))) await page.click('#start');
  const clicked = Date.now();
  const again = moments.includes('again');
  for (const moment of moments.filter(m => m != 'again').sort((a, b) => a - b)) {
    const wait = clicked + moment * 1000 - Date.now();
    if (wait > 0) await new Promise(resolve => setTimeout(resolve, wait));
    const png = await page.evaluate(() => Module.canvas.toDataURL('image/png'));
    fs.writeFileSync(path.join(out, `shot-${moment}.png`), Buffer.from(png.split(',')[1], 'base64'));
  }
  await page.waitForFunction(() => document.body.dataset.status, { timeout: 40000, polling: 50 })
    .catch(() => {});
  const heap = (await page.metrics()).JSHeapUsedSize;
  const result = await page.evaluate(() => ({
    status: document.body.dataset.status || 'none', message: page.message.textContent,
    origin: performance.timeOrigin, startedAt: page.startedAt, probe: window.probe,
  }));
  if (again) {
    await page.click('#start');
    await page.waitForFunction(() => !document.body.dataset.status && page.panel.hidden);
    await new Promise(resolve => setTimeout(resolve, 1000));
    const png = await page.evaluate(() => Module.canvas.toDataURL('image/png'));
    fs.writeFileSync(path.join(out, 'shot-again.png'), Buffer.from(png.split(',')[1], 'base64'));
  }
  await browser.close();

  const { probe, origin } = result;
  const wall = ms => ((origin + ms) / 1000).toFixed(4);
  const lines = [`status ${result.status}`];
  const passes = probe.passes;
  if (passes.length) {
    lines.push(`first_frame_ms ${(passes[0][0] + passes[0][1] - result.startedAt).toFixed(1)}`);
    const effect = passes.filter(p => p[2] > 256921 && p[2] <= 505906);
    const pictures = passes.filter(p => !(p[2] > 256921 && p[2] <= 505906));
    for (const [name, set] of [['picture', pictures], ['effect', effect]]) {
      const times = set.map(p => p[1]);
      lines.push(`${name}_p50_ms ${quantile(times, 0.5).toFixed(1)}`, `${name}_p99_ms ${quantile(times, 0.99).toFixed(1)}`,
                 `${name}_max_ms ${Math.max(0, ...times).toFixed(1)}`, `${name}_passes ${times.length}`);
    }
    // A pass begins with each animation frame: a longer gap is a frame missed.
    let missed = 0;
    for (let i = 1; i < effect.length; i++) missed += Math.max(0, Math.round((effect[i][0] - effect[i - 1][0]) / (1000 / 60)) - 1);
    lines.push(`effect_frames_missed ${missed}`);
    lines.push(`row1_shown_wall ${wall(passes[0][0] + passes[0][1])}`);
    for (const row in probe.shown) lines.push(`row${row}_shown_wall ${wall(probe.shown[row])}`);
  }
  if (probe.end) {
    lines.push(`end_wall ${wall(probe.end)}`, `seconds ${((probe.end - result.startedAt) / 1000).toFixed(3)}`);
  }
  lines.push(`js_heap_kib ${Math.round(heap / 1024)}`);
  fs.writeFileSync(path.join(out, 'probe.txt'), lines.join('\n') + '\n');
  fs.writeFileSync(path.join(out, 'message.txt'), result.message + '\n');
}

async function hash(counters) {
  const { browser, page } = await open();
  await page.click('#start');
  await page.waitForFunction(() => Module.webAudio.streams.length);
  const hashes = await page.evaluate(counters => {
    window.requestAnimationFrame = () => 0;  // no more passes
    return counters.map(counter => {
      Module._present_effect_frame(counter);
      const pixels = Module.canvas.getContext('2d').getImageData(0, 0, 1024, 768).data;
      let hash = 0x811c9dc5;
      for (let i = 0; i < pixels.length; i++) {
        if ((i & 3) != 3) hash = Math.imul(hash ^ pixels[i], 0x01000193);  // not alpha
      }
      return `${counter} ${hash >>> 0}`;
    });
  }, counters.map(Number));
  await browser.close();
  console.log(hashes.join('\n'));
}

(mode == 'run' ? run(rest[0], rest.slice(1)) : hash(rest)).catch(error => {
  console.error(`web_page.js: ${error.message}`);
  process.exit(1);
});
