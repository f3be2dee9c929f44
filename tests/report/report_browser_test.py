#!/usr/bin/env python3
"""Reports of tessvane-find opened in headless Chromium, checked from the browser's own view:
every thumbnail decoded, one card per line of the --tsv listing, sorting by score reorders the
cards, the layout filter hides cards. A screenshot of each page is kept.

usage: report_browser_test.py TESSVANE_FIND SOURCE_DIR ARTEFACT_DIR
Chromium is driven through its DevTools protocol over a pipe (--remote-debugging-pipe), with
the standard library only. Exit 77 (skipped) when there is no Chromium.
"""
import base64
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time

FLAGS = ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
         '--disable-background-networking', '--disable-component-update', '--disable-sync',
         '--hide-scrollbars', '--window-size=1200,900']


class Browser:
    """Chromium with the DevTools protocol on fds 3 (its input) and 4 (its output)."""

    def __init__(self, chromium, profile):
        to_chrome_r, self.to_chrome = os.pipe()
        self.from_chrome, from_chrome_w = os.pipe()

        def wire():
            # Through copies: a pipe that already sits at 3 or 4 would keep its close-on-exec.
            reading, writing = os.dup(to_chrome_r), os.dup(from_chrome_w)
            os.dup2(reading, 3)
            os.dup2(writing, 4)

        self.proc = subprocess.Popen([chromium, *FLAGS, '--user-data-dir=' + profile, '--remote-debugging-pipe'],
                                     preexec_fn=wire, close_fds=False, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(to_chrome_r)
        os.close(from_chrome_w)
        self.buffer = b''
        self.next_id = 0
        self.session = None

    def call(self, method, session=True, **params):
        self.next_id += 1
        message = {'id': self.next_id, 'method': method, 'params': params}
        if session and self.session:
            message['sessionId'] = self.session
        os.write(self.to_chrome, json.dumps(message).encode() + b'\0')
        while True:
            while b'\0' not in self.buffer:
                chunk = os.read(self.from_chrome, 1 << 20)
                if not chunk:
                    raise RuntimeError('Chromium closed its pipe')
                self.buffer += chunk
            raw, self.buffer = self.buffer.split(b'\0', 1)
            reply = json.loads(raw)
            if reply.get('id') == self.next_id:
                if 'error' in reply:
                    raise RuntimeError(f'{method}: {reply["error"]}')
                return reply['result']

    def open(self, url):
        target = self.call('Target.createTarget', session=False, url=url)['targetId']
        self.session = self.call('Target.attachToTarget', session=False, targetId=target, flatten=True)['sessionId']
        # Ends as soon as the page is loaded; the limit only bounds a browser that hangs.
        deadline = time.time() + 120
        # The new target starts on about:blank, which is already complete before the page commits.
        loaded = f"location.href === {json.dumps(url)} && document.readyState === 'complete'"
        while not self.evaluate(loaded):
            if time.time() > deadline:
                raise RuntimeError('the page did not load')
            time.sleep(0.1)
        self.evaluate("Promise.all([...document.querySelectorAll('img.thumb')].map(i => i.decode().catch(() => null)))", wait=True)

    def evaluate(self, expression, wait=False):
        result = self.call('Runtime.evaluate', expression=expression, returnByValue=True, awaitPromise=wait)
        if 'exceptionDetails' in result:
            raise RuntimeError(f'{expression}: {result["exceptionDetails"]}')
        return result['result'].get('value')

    def screenshot(self, path):
        data = self.call('Page.captureScreenshot', format='png', captureBeyondViewport=True)['data']
        with open(path, 'wb') as out:
            out.write(base64.b64decode(data))

    def close(self):
        try:
            self.call('Browser.close', session=False)
        except (RuntimeError, OSError):
            pass
        try:
            self.proc.wait(timeout=20)
        except subprocess.TimeoutExpired:
            self.proc.kill()


def listing(finder, data):
    out = subprocess.run([finder, '--tsv', data], capture_output=True, text=True, check=True).stdout
    return [line.split('\t') for line in out.strip().split('\n')[1:]]


def check_report(browser, finder, data, report, shot):
    failures = []
    subprocess.run([finder, '--report', report, data], capture_output=True, check=True)
    with open(report, encoding='utf-8') as page:
        text = page.read()
    if 'http:' in text or 'https:' in text or 'src="' in text.replace('src="data:', ''):
        failures.append(f'{report}: refers to something outside the page')
    browser.open('file://' + report)
    thumbs = browser.evaluate("[...document.querySelectorAll('img.thumb')].map(i => i.naturalWidth)")
    if not thumbs or min(thumbs) == 0:
        failures.append(f'{report}: thumbnails not all decoded: {thumbs}')
    cards = browser.evaluate("[...document.querySelectorAll('.card')].map(c => [c.dataset.offset, c.dataset.layout,"
                             " c.querySelector('.facts').textContent])")
    expected = listing(finder, data)
    if [(c[0], c[1]) for c in cards] != [(row[0], row[2]) for row in expected]:
        failures.append(f'{report}: cards {cards} do not match the listing {expected}')
    for card, row in zip(cards, expected):
        if f'{row[3]} x {row[4]}, stride {row[5]}' not in card[2]:
            failures.append(f'{report}: card {card} lacks "{row[3]} x {row[4]}, stride {row[5]}"')
    browser.evaluate("document.getElementById('sort').value = 'score';"
                     "document.getElementById('sort').dispatchEvent(new Event('change'))")
    scores = browser.evaluate("[...document.querySelectorAll('.card')].map(c => Number(c.dataset.score))")
    wanted = sorted((float(row[6]) for row in expected), reverse=True)
    if scores != wanted:
        failures.append(f'{report}: sorted by score the cards read {scores}, not {wanted}')
    layout = expected[0][2]
    browser.evaluate(f"document.getElementById('layout{layout}').click()")
    shown = browser.evaluate("[...document.querySelectorAll('.card')].filter(c => !c.hidden).length")
    if shown != sum(row[2] != layout for row in expected):
        failures.append(f'{report}: with layout {layout} filtered out, {shown} cards show')
    browser.evaluate(f"document.getElementById('layout{layout}').click()")
    browser.screenshot(shot)
    return failures


def larger_file(source, path):
    """The demo's four pictures and the real samples, among noise and a slice of a real library."""
    rng = random.Random(5)
    demo = open(os.path.join(os.path.dirname(path), 'demo.bin'), 'rb').read()
    samples = os.path.join(source, 'tests', 'data', 'find')
    parts = [demo[:700000], open(os.path.join(samples, 'library_slice.bin'), 'rb').read()]
    for name, skip in (('photo_101x_bmp24.bmp', 54), ('screen565_240x160.raw', 0), ('screen32_160x120.raw', 0),
                       ('photo_97x_bmp8.bmp', 1078)):
        parts.append(bytes(rng.getrandbits(8) for _ in range(30011)))
        parts.append(open(os.path.join(samples, name), 'rb').read()[skip:])
    parts.append(bytes(rng.getrandbits(8) for _ in range(20000)))
    with open(path, 'wb') as out:
        out.write(b''.join(parts))


def main():
    finder, source, artefacts = sys.argv[1:4]
    chromium = shutil.which('chromium') or shutil.which('chromium-browser')
    if not chromium:
        print('skipped: no chromium')
        return 77
    work = tempfile.mkdtemp(prefix='tessvane-report-')
    failures = []
    browser = None
    try:
        subprocess.run([sys.executable, os.path.join(source, 'tools', 'make_demo.py'), work], check=True,
                       capture_output=True)
        larger_file(source, os.path.join(work, 'larger.bin'))
        browser = Browser(chromium, os.path.join(work, 'profile'))
        for name in ('demo', 'larger'):
            data = os.path.join(work, name + '.bin')
            shot = os.path.join(artefacts, f'report-{name}.png')
            failures += check_report(browser, finder, data, os.path.join(work, name + '.html'), shot)
            print(f'{name}: checked, screenshot {shot}')
    finally:
        if browser:
            browser.close()
        shutil.rmtree(work, ignore_errors=True)
    for failure in failures:
        print('FAILED:', failure)
    print('report pages: all checks passed' if not failures else f'report pages: {len(failures)} checks failed')
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
