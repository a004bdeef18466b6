// End-to-end test of the vk9000 operator console in Debian's chromium, driven by playwright-core:
// log in; a yaz-client session appears in the list and is deleted, and the client's association
// ends; port 65535 is refused; the enemy list with 拒绝 IP 访问 refuses the next connection; a new
// time-out survives a restart. Screenshots are kept in the artefact folder.
// Usage: node console.e2e.mjs BIN_DIR ARTEFACT_DIR   (exit 0 passed, 1 failed, 77 skipped)
import {spawn, spawnSync} from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import path from 'node:path';

const [binDir, outDir] = process.argv.slice(2);
const CHROMIUM = '/usr/bin/chromium';
const skip = (why) => { console.log(`SKIP: ${why}`); process.exit(77); };
let chromium;
try { ({chromium} = await import('playwright-core')); } catch { skip('playwright-core is not installed (npm ci in tests/browser)'); }
if (!fs.existsSync(CHROMIUM)) skip(`${CHROMIUM} is missing`);
if (spawnSync('yaz-client', ['-V']).error) skip('yaz-client is missing');

fs.rmSync(outDir, {recursive: true, force: true});
fs.mkdirSync(outDir, {recursive: true});
const children = new Set();
let step = 'start';
const log = (text) => console.log(`[${(performance.now() / 1000).toFixed(1)}s] ${text}`);
function check(ok, what) { if (!ok) throw new Error(`check failed: ${what}`); }

function freePort() {
  return new Promise((resolve) => {
    const s = net.createServer().listen(0, '127.0.0.1', () => { const {port} = s.address(); s.close(() => resolve(port)); });
  });
}
// Starts vk9000 and waits for the printed line that matches `ready`.
function startServer(args, ready, ms = 60000) {
  const proc = spawn(path.join(binDir, 'vk9000'), args, {stdio: ['ignore', 'pipe', 'pipe']});
  children.add(proc);
  proc.on('exit', () => children.delete(proc));
  let out = '';
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error(`vk9000 did not print ${ready} in ${ms} ms:\n${out}`)), ms);
    const seen = (d) => {
      out += d;
      const m = out.match(ready);
      if (m) { clearTimeout(timer); resolve({proc, match: m}); }
    };
    proc.stdout.on('data', seen);
    proc.stderr.on('data', seen);
    proc.on('exit', (code) => { clearTimeout(timer); reject(new Error(`vk9000 ended (${code}):\n${out}`)); });
  });
}
function stopServer(proc) {
  return new Promise((resolve) => {
    if (proc.exitCode !== null) return resolve(proc.exitCode);
    proc.removeAllListeners('exit');
    proc.on('exit', (code) => { children.delete(proc); resolve(code); });
    proc.kill('SIGTERM');
  });
}
// A yaz-client whose standard input the test writes; output collected.
function yazClient(port) {
  const proc = spawn('yaz-client', [`tcp:127.0.0.1:${port}`], {stdio: ['pipe', 'pipe', 'pipe']});
  children.add(proc);
  proc.on('exit', () => children.delete(proc));
  const client = {proc, out: ''};
  proc.stdout.on('data', (d) => { client.out += d; });
  proc.stderr.on('data', (d) => { client.out += d; });
  client.send = (line) => proc.stdin.write(line + '\n');
  client.waitFor = async (re, ms = 10000) => {
    const end = Date.now() + ms;
    while (!re.test(client.out)) {
      if (Date.now() > end) throw new Error(`yaz-client never printed ${re}:\n${client.out}`);
      await new Promise((r) => setTimeout(r, 50));
    }
  };
  return client;
}
// True when a connection to `port` is closed by the server before it says anything.
function refused(port) {
  return new Promise((resolve) => {
    const s = net.connect(port, '127.0.0.1');
    const timer = setTimeout(() => { s.destroy(); resolve(false); }, 3000);
    s.on('data', () => {});
    s.on('close', () => { clearTimeout(timer); resolve(true); });
    s.on('error', () => {});
  });
}

const buildDir = path.dirname(outDir);
const template = path.join(buildDir, 'demo-template');
const home = path.join(buildDir, 'instance');
let browser;
let server;
try {
  step = 'demo instance';
  if (!fs.existsSync(path.join(template, 'vk9000.ini'))) {
    fs.rmSync(template, {recursive: true, force: true});
    const t = await startServer(['--demo', template, '--port', '0', '--console', '127.0.0.1:0'], /console at/, 120000);
    await stopServer(t.proc);
  }
  fs.rmSync(home, {recursive: true, force: true});
  fs.cpSync(template, home, {recursive: true});
  const zPort = await freePort();
  const cPort = await freePort();
  const serverArgs = ['--home', home, '--port', String(zPort), '--console', `127.0.0.1:${cPort}`];
  server = (await startServer(serverArgs, /console at (http:\/\/[^/]+\/)/)).proc;
  const url = `http://127.0.0.1:${cPort}/`;
  log(`vk9000 on ${zPort}, console ${url}`);

  step = 'log in';
  browser = await chromium.launch({executablePath: CHROMIUM, headless: true, args: ['--no-sandbox']});
  const context = await browser.newContext({viewport: {width: 1200, height: 760}, locale: 'zh-CN'});
  let page = await context.newPage();
  const shot = (name) => page.screenshot({path: path.join(outDir, `${name}.png`)});
  const login = async () => {
    await page.goto(url);
    await page.fill('#password', 'demo');
    await page.click('#submit');
    await page.waitForSelector('header nav');
    await page.waitForLoadState('load');  // the console's script has run: the buttons answer
  };
  await page.goto(url);
  await page.fill('#password', 'wrong');
  await page.click('#submit');
  await page.waitForSelector('#error:has-text("口令错误")');
  await shot('01-login-refused');
  await login();  // straight after the typo: one wrong password costs no wait

  step = 'session list';
  const yaz = yazClient(zPort);
  await yaz.waitFor(/Connection accepted/);
  yaz.send('base books');
  yaz.send('f @attr 1=4 computer');
  await yaz.waitFor(/Number of hits/);
  for (let i = 0; i < 10; ++i) {  // something for the live charts to show
    yaz.send('f @attr 1=4 computer');
    await new Promise((r) => setTimeout(r, 250));
  }
  await page.waitForFunction(() => Number(document.getElementById('fig-hits').textContent) > 0);
  await page.screenshot({path: path.join(outDir, '02-overview.png')});

  step = 'phone layout';
  const phone = await browser.newContext({viewport: {width: 390, height: 844}, deviceScaleFactor: 2, locale: 'zh-CN'});
  await phone.addCookies(await context.cookies());
  const small = await phone.newPage();
  await small.goto(url);
  await small.waitForFunction(() => Number(document.getElementById('fig-hits').textContent) > 0);
  await small.waitForTimeout(1200);  // a chart drawn at the phone's size
  await small.screenshot({path: path.join(outDir, '02-overview-390x844.png'), fullPage: true});
  const layout = await small.evaluate(() => ({
    scroll: document.documentElement.scrollWidth,
    navLines: [...document.querySelectorAll('header nav button')].map((b) => b.getBoundingClientRect().height),
    widest: Math.max(...[...document.querySelectorAll('main *')].map((e) => e.getBoundingClientRect().right)),
    chart: (() => { const c = document.getElementById('chart-rps'); return {css: c.clientWidth, px: c.width}; })(),
  }));
  log(`390x844: scrollWidth ${layout.scroll}, widest element ends at ${layout.widest}, chart ${JSON.stringify(layout.chart)}`);
  check(layout.scroll <= 390 && layout.widest <= 390, 'no sideways scroll at 390 px');
  check(layout.navLines.every((h) => h < 40), 'navigation labels on one line');
  check(layout.chart.css <= 390 && layout.chart.px === layout.chart.css * 2, 'chart drawn at its shown size');
  await phone.close();
  await page.click('header nav button[data-view="sessions"]');
  const row = page.locator('.vlist[data-list="sessions"] .row', {hasText: '127.0.0.1'});
  await row.first().waitFor({timeout: 5000});
  check((await page.locator('.vlist[data-list="sessions"] .head').innerText()).includes('通道创建时间'), 'seven columns');
  await page.click('.vlist[data-list="sessions"]', {button: 'right', position: {x: 600, y: 400}});
  const greyed = page.locator('#context-menu li.disabled');
  await greyed.waitFor();
  check((await greyed.innerText()) === ' 删除本通道', 'greyed item with its leading blank');
  await shot('03-menu-nothing-selected');
  await page.keyboard.press('Escape');
  await page.click('h2, header .brand');
  await row.first().click();
  await row.first().click({button: 'right'});
  await page.locator('#context-menu li.enabled', {hasText: '删除本通道'}).waitFor();
  await shot('04-session-menu');
  await page.locator('#context-menu li.enabled', {hasText: '删除本通道'}).click();
  await row.first().waitFor({state: 'detached', timeout: 5000});
  yaz.send('f @attr 1=4 computer');
  await yaz.waitFor(/Target closed connection|Not connected/);
  yaz.proc.stdin.end();
  log('session deleted; yaz-client saw its association end');

  step = 'port 65535';
  await page.click('header nav button[data-view="sheet"]');
  await page.click('#sheet-tabs button:has-text("常规")');
  await page.fill('#ctl-1000', '65535');
  await page.click('#sheet-apply');
  await page.waitForSelector('#message[open]');
  check((await page.innerText('#message-text')).includes('端口号的范围应大于 0 并且小于 65535 !'), 'port message');
  await shot('05-port-refused');
  await page.click('#message-ok');
  check((await page.getAttribute('#sheet-tabs button.active', 'aria-selected')) === 'true' &&
        (await page.innerText('#sheet-tabs button.active')) === '常规', 'switched to 常规');
  await page.click('#sheet-cancel');

  step = 'enemy list';
  await page.click('#sheet-tabs button:has-text("IP 筛选")');
  await page.click('#ctl-1015');
  await page.waitForSelector('#ctl-1021:not([disabled])');
  await page.fill('#ctl-1021', '127.0.0.1');
  await page.click('#ctl-1008');
  await page.waitForSelector('#ctl-1016 div:has-text("127.0.0.1")');
  await page.click('#sheet-apply');
  await page.waitForSelector('#sheet-status:has-text("设置已应用")');
  await shot('06-enemy-list');
  check(await refused(zPort), 'the next connection from 127.0.0.1 is refused');
  const metrics = await (await fetch(`${url}metrics`, {headers: {Authorization: 'Basic ' + Buffer.from('operator:demo').toString('base64')}})).text();
  check(/velkan_refused_connections_total\{reason="ipfilter"\} [1-9]/.test(metrics), 'refusal counted in /metrics');

  step = 'time-out';
  await page.click('#sheet-tabs button:has-text("常规")');
  await page.fill('#ctl-1011', '321');
  await page.click('#sheet-apply');
  await page.waitForSelector('#sheet-status:has-text("设置已应用并保存")');
  check(await stopServer(server) === 0, 'vk9000 stops cleanly on SIGTERM');
  server = (await startServer(serverArgs, /console at/)).proc;
  page = await context.newPage();
  await context.clearCookies();
  await login();
  await page.click('header nav button[data-view="sheet"]');
  await page.click('#sheet-tabs button:has-text("常规")');
  await page.waitForSelector('#ctl-1011');
  check((await page.inputValue('#ctl-1011')) === '321', 'time-out kept over a restart');
  await page.screenshot({path: path.join(outDir, '07-timeout-after-restart.png')});
  log('passed');
} catch (err) {
  console.error(`FAILED at ${step}: ${err.stack || err}`);
  process.exitCode = 1;
} finally {
  if (browser) await browser.close().catch(() => {});
  for (const c of children) c.kill('SIGKILL');
}
