// Drives the page in headless chromium: sign in, browse, download, a message arriving, the live
// view, a login elsewhere; a screenshot of each step goes to $SHOTS.
import fs from 'node:fs';
import net from 'node:net';
import path from 'node:path';
import os from 'node:os';
import puppeteer from 'puppeteer-core';

const { CHROMIUM, BASE, SERVER_PORT, SHOTS, SHARE } = process.env;
const failures = [];
function check(ok, what) {
  console.log((ok ? 'ok   ' : 'FAIL ') + what);
  if (!ok) failures.push(what);
}

// A client of the board's protocol: frames of a 12-byte header and a JSON command.
function protocolClient(port) {
  const sock = net.connect(port, '127.0.0.1');
  let buf = Buffer.alloc(0);
  const waiters = [];
  sock.on('data', (d) => {
    buf = Buffer.concat([buf, d]);
    while (buf.length >= 12) {
      const len = parseInt(buf.subarray(2, 12).toString().trim(), 10);
      if (buf.length < 12 + len) break;
      const frame = { type: buf.subarray(0, 2).toString(), payload: buf.subarray(12, 12 + len).toString() };
      buf = buf.subarray(12 + len);
      if (frame.type === '11' && waiters.length) waiters.shift()(frame);
    }
  });
  return {
    ready: new Promise((r) => sock.once('connect', r)),
    command(obj) {
      const body = Buffer.from(JSON.stringify(obj));
      sock.write(Buffer.concat([Buffer.from('11' + String(body.length).padStart(10, ' ')), body]));
      return new Promise((r) => waiters.push(r));
    },
    close() { sock.destroy(); },
  };
}

const browser = await puppeteer.launch({
  executablePath: CHROMIUM,
  headless: true,
  args: ['--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage', '--lang=ko-KR'],
});
const shot = (page, name) => page.screenshot({ path: path.join(SHOTS, name + '.png') });
const timeout = 15000;
try {
  const page = await browser.newPage();
  page.setDefaultTimeout(timeout);
  await page.setViewport({ width: 1100, height: 760 });
  const problems = [];
  page.on('console', (m) => { if (m.type() === 'error') problems.push(m.text()); });
  page.on('pageerror', (e) => problems.push(String(e)));

  // Sign-in: a wrong password is refused, the right one opens the files.
  await page.goto(BASE + '/', { waitUntil: 'networkidle0' });
  await page.waitForSelector('#signin:not([hidden])');
  await shot(page, '1-signin');
  await page.type('#user', 'bob');
  await page.type('#password', 'nope');
  await page.keyboard.press('Enter');
  await page.waitForSelector('#signin-note:not([hidden])', { timeout: 20000 });
  check((await page.$eval('#signin-note', (e) => e.textContent)).includes('wrong'), 'wrong password refused');
  await shot(page, '2-signin-refused');
  await page.type('#password', 'bob');
  await page.keyboard.press('Enter');
  await page.waitForSelector('#app:not([hidden]) #listing tbody tr');
  const names = await page.$$eval('#listing tbody tr td:first-child', (tds) => tds.map((t) => t.textContent));
  check(names[0].includes('docs') && names.some((n) => n.includes('사진')), 'root listing, folders first: ' + names.join(' | '));
  check(await page.$eval('#listing tbody tr.closed', (e) => e.textContent.includes('private')), 'private shown closed');
  await shot(page, '3-files-root');

  // Keyboard: the sections are reachable with Tab.
  await page.focus('#signout');
  let reached = false;
  for (let i = 0; i < 6 && !reached; i++) {
    await page.keyboard.down('Shift'); await page.keyboard.press('Tab'); await page.keyboard.up('Shift');
    reached = await page.evaluate(() => document.activeElement && document.activeElement.dataset.view === 'camera');
  }
  check(reached, 'navigation reachable by keyboard');

  // A Korean folder and a download.
  await page.click('a[href="#/files/%EC%82%AC%EC%A7%84"]');
  await page.waitForFunction(() => document.querySelector('#listing').textContent.includes('인사.txt'));
  await shot(page, '4-files-korean');
  await page.goto(BASE + '/#/files/docs');
  await page.waitForFunction(() => document.querySelector('#listing').textContent.includes('data.bin'));
  const listed = await page.$eval('#listing', (e) => e.textContent);
  check(listed.includes('bill\\u202Efdp.exe') && !listed.includes('\u202E'), 'a right-to-left override shown escaped');
  const downloads = fs.mkdtempSync(path.join(os.tmpdir(), 'bh-dl-'));
  const cdp = await page.createCDPSession();
  await cdp.send('Browser.setDownloadBehavior', { behavior: 'allow', downloadPath: downloads });
  await page.click('a.name[download="data.bin"]');
  const target = path.join(downloads, 'data.bin');
  for (let i = 0; i < 100 && !fs.existsSync(target); i++) await new Promise((r) => setTimeout(r, 100));
  check(fs.existsSync(target) && Buffer.compare(fs.readFileSync(target), fs.readFileSync(path.join(SHARE, 'docs/data.bin'))) === 0,
    'download byte for byte');
  await shot(page, '5-files-docs');

  // Changes, when the server takes them: a new folder and an upload into it.
  const features = await page.evaluate(async () => (await (await fetch('/api/session')).json()).features);
  if (features.includes('write')) {
    page.once('dialog', (d) => d.accept('새 폴더'));
    await page.click('#file-tools button');
    await page.waitForFunction(() => document.querySelector('#listing').textContent.includes('새 폴더'));
    await page.click('a[href="#/files/docs/%EC%83%88%20%ED%8F%B4%EB%8D%94"]');
    await page.waitForSelector('#upload-input');
    const local = path.join(downloads, 'upload-me.txt');
    fs.writeFileSync(local, '올립니다\n');
    const input = await page.$('#upload-input');
    await input.uploadFile(local);
    await page.waitForFunction(() => document.querySelector('#listing').textContent.includes('upload-me.txt'));
    check(fs.readFileSync(path.join(SHARE, 'docs/새 폴더/upload-me.txt'), 'utf8') === '올립니다\n', 'upload into a new folder');
    await shot(page, '5b-files-written');
  } else {
    console.log('skip writes: the server does not list them');
  }

  // People: a message from alice arrives live; the notice shows.
  await page.goto(BASE + '/#/people');
  await page.waitForFunction(() => document.querySelector('#who').textContent.includes('bob'));
  const alice = protocolClient(Number(SERVER_PORT));
  await alice.ready;
  await alice.command({ CMD: 'LOGIN', VERSION: '3.0.0', USERNAME: 'alice', PASSWORD: 'alice' });
  const sent = await alice.command({ CMD: 'MESSAGE', TO: 'bob', TYPE: 0, MESSAGE: '안녕하세요, 점심 같이 해요!' });
  check(sent.payload.includes('OK'), 'alice sent a message');
  await page.waitForFunction(() => document.querySelector('#messages').textContent.includes('점심 같이 해요'));
  check(true, 'message arrived on the page');
  await alice.command({ CMD: 'MOD', MOD: '오늘 18시에 점검합니다' });
  await page.waitForFunction(() => document.querySelector('#notice').textContent.includes('점검'));
  check(true, 'notice arrived on the page');
  await page.click('#who-refresh');
  await page.waitForFunction(() => document.querySelector('#who').textContent.includes('alice'));
  await page.type('#msg-to', 'alice');
  await page.type('#msg-text', 'See you at noon');
  await page.click('#message-form button');
  await page.waitForFunction(() => document.querySelector('#message-note').textContent.includes('Sent'));
  check(true, 'message sent from the page');
  await shot(page, '6-people');

  // Camera: a snapshot, then the live view at the camera's size.
  await page.goto(BASE + '/#/camera');
  await page.click('#snap');
  await page.waitForFunction(() => document.querySelector('#camera-img').naturalWidth === 640);
  check(true, 'snapshot shown at 640 wide');
  await page.click('#live');
  await page.waitForFunction(() => {
    const i = document.querySelector('#camera-img');
    return i.src.includes('/camera/live') && i.naturalWidth === 640;
  });
  await new Promise((r) => setTimeout(r, 700));
  check(true, 'live view running');
  await shot(page, '7-camera-live');
  await page.click('#live');

  // A phone.
  await page.setViewport({ width: 390, height: 800, isMobile: true, hasTouch: true });
  await page.goto(BASE + '/#/files/docs');
  await page.waitForFunction(() => document.querySelector('#listing').textContent.includes('notes.txt'));
  await shot(page, '8-phone-files');
  await page.setViewport({ width: 1100, height: 760 });

  // bob signs in elsewhere: the page says so and returns to the sign-in.
  await page.goto(BASE + '/#/files/');
  await page.waitForSelector('#listing tbody tr');
  const bob = protocolClient(Number(SERVER_PORT));
  await bob.ready;
  await bob.command({ CMD: 'LOGIN', VERSION: '3.0.0', USERNAME: 'bob', PASSWORD: 'bob' });
  await page.waitForSelector('#signin:not([hidden])');
  check((await page.$eval('#signin-note', (e) => e.textContent)).includes('somewhere else'), 'login elsewhere shown');
  await shot(page, '9-replaced');
  alice.close();
  bob.close();

  check(!problems.some((p) => /Content Security Policy|Refused/.test(p)), 'no CSP violations: ' + problems.join(' / '));
} catch (e) {
  failures.push(String(e && e.stack || e));
  console.log('FAIL ' + e);
} finally {
  await browser.close();
}
if (failures.length) {
  console.log(failures.length + ' failure(s)');
  process.exit(1);
}
console.log('browser test passed; screenshots in ' + SHOTS);
