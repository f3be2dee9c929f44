#!/usr/bin/env python3
"""Reports of tessvane-find opened in headless Chromium, checked from the browser's own view:
every thumbnail decoded once in view (past the first cards, only then), one card per line of
the --tsv listing, sorting by score reorders the cards, the layout filter hides cards and the
count follows it, a full picture opens at its size; for more finds than a page holds, the first
page's rows of every find (which sort and filter) and the next page of cards. A screenshot of each
first page is kept.

usage: report_browser_test.py TESSVANE_FIND SOURCE_DIR ARTEFACT_DIR
Chromium is driven through its DevTools protocol over a pipe (--remote-debugging-pipe), with
the standard library only. Exit 77 (skipped) when there is no Chromium.
"""
import base64
import json
import os
import random
import shutil
import struct
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


def scroll_through(browser):
    """Brings every card into view in turn (cards draw their thumbnails near the view), waits for
    the thumbnails, then goes back to the top."""
    browser.evaluate("(async () => { const frame = () => new Promise(r => requestAnimationFrame(() =>"
                     " requestAnimationFrame(r)));"
                     " for (const c of document.querySelectorAll('.card')) { c.scrollIntoView(); await frame(); }"
                     " await Promise.all([...document.querySelectorAll('img.thumb')].map(i => i.decode().catch(() => null)));"
                     " scrollTo(0, 0); })()", wait=True)


def listing(finder, data):
    out = subprocess.run([finder, '--tsv', data], capture_output=True, text=True, check=True).stdout
    return [line.split('\t') for line in out.strip().split('\n')[1:]]


def open_and_scroll(browser, page, failures):
    """Opens a page, checks that thumbnails past the first cards wait for the view, brings every
    card into view and checks that all thumbnails are decoded then."""
    browser.open('file://' + page)
    drawn = browser.evaluate("[...document.querySelectorAll('img.thumb')].filter(i => i.src).length")
    total = browser.evaluate("document.querySelectorAll('img.thumb').length")
    if total > 100 and drawn >= total:
        failures.append(f'{page}: all {total} thumbnails drawn as the page loads')
    scroll_through(browser)
    thumbs = browser.evaluate("[...document.querySelectorAll('img.thumb')].map(i => i.naturalWidth)")
    if not thumbs or min(thumbs) == 0:
        failures.append(f'{page}: thumbnails not all decoded in view: {thumbs}')


def page_cards(browser):
    return browser.evaluate("[...document.querySelectorAll('.card')].map(c => [c.dataset.offset, c.dataset.layout,"
                            " c.querySelector('.facts').textContent])")


def check_cards(page, cards, expected, failures):
    if [(c[0], c[1]) for c in cards] != [(row[0], row[2]) for row in expected]:
        failures.append(f'{page}: cards {cards} do not match the listing {expected}')
    for card, row in zip(cards, expected):
        if f'{row[3]} x {row[4]}, stride {row[5]}' not in card[2]:
            failures.append(f'{page}: card {card} lacks "{row[3]} x {row[4]}, stride {row[5]}"')


def check_report(browser, finder, data, report, shot):
    """The report of data: its first page, and for more finds than a page holds, the list of every
    find there and the next page of cards."""
    failures = []
    subprocess.run([finder, '--report', report, data], capture_output=True, check=True)
    with open(report, encoding='utf-8') as page:
        text = page.read()
    if 'http:' in text or 'https:' in text or 'src="' in text.replace('src="data:', ''):
        failures.append(f'{report}: refers to something outside the page')
    open_and_scroll(browser, report, failures)
    expected = listing(finder, data)
    cards = page_cards(browser)
    rows = browser.evaluate("[...document.querySelectorAll('#finds tbody tr')].map(r => [r.dataset.offset,"
                            " r.dataset.layout, r.querySelector('a').getAttribute('href')])")
    if rows:
        if [(r[0], r[1]) for r in rows] != [(row[0], row[2]) for row in expected]:
            failures.append(f'{report}: the rows of every find {rows} do not match the listing {expected}')
        if len(cards) >= len(expected):
            failures.append(f'{report}: every find on the first page, and rows of them too')
    elif len(cards) < len(expected):
        failures.append(f'{report}: no rows of every find, though cards {len(cards)} of {len(expected)}')
    check_cards(report, cards, expected[:len(cards)], failures)
    # Sorting and the filter work over every find: the rows when there are, else the cards.
    items = "[...document.querySelectorAll('#finds tbody tr')]" if rows else "[...document.querySelectorAll('.card')]"
    browser.evaluate("document.getElementById('sort').value = 'score';"
                     "document.getElementById('sort').dispatchEvent(new Event('change'))")
    scores = browser.evaluate(f"{items}.map(c => Number(c.dataset.score))")
    wanted = sorted((float(row[6]) for row in expected), reverse=True)
    if scores != wanted:
        failures.append(f'{report}: sorted by score the finds read {scores}, not {wanted}')
    layout = expected[0][2]
    browser.evaluate(f"document.getElementById('layout{layout}').click()")
    shown = browser.evaluate(f"{items}.filter(c => !c.hidden).length")
    if shown != sum(row[2] != layout for row in expected):
        failures.append(f'{report}: with layout {layout} filtered out, {shown} finds show')
    count = browser.evaluate("document.getElementById('count').textContent")
    if count != f'{shown} of {len(expected)}':
        failures.append(f'{report}: with layout {layout} filtered out, the count reads {count!r}')
    browser.evaluate(f"document.getElementById('layout{layout}').click()")
    count = browser.evaluate("document.getElementById('count').textContent")
    if count != str(len(expected)):
        failures.append(f'{report}: with every layout shown, the count reads {count!r}')
    # A full picture is decoded when opened, at its find's size.
    full = browser.evaluate("(() => { const d = document.querySelector('details'); if (!d) return null;"
                            " d.open = true; return d.closest('.card').dataset.offset; })()")
    if full is not None:
        width = browser.evaluate("(async () => { const i = document.querySelector('details img');"
                                 " await new Promise(r => setTimeout(r, 100)); await i.decode(); return i.naturalWidth; })()",
                                 wait=True)
        row = next(row for row in expected if row[0] == full)
        if width != int(row[3]):
            failures.append(f'{report}: the full picture of the find at {full} is {width} wide, not {row[3]}')
        browser.evaluate("document.querySelector('details').open = false")
    browser.screenshot(shot)
    if rows:
        # The first find past the first page links to its card on the next page.
        first = len(cards)
        link = next(r[2] for r in rows if r[0] == expected[first][0])
        name, anchor = link.split('#')
        if anchor != 'f' + expected[first][0]:
            failures.append(f'{report}: the row of the find at {expected[first][0]} links to {link}')
        following = os.path.join(os.path.dirname(report), name)
        open_and_scroll(browser, following, failures)
        print(f'{report}: {len(expected)} finds, {len(cards)} cards a page, next page {name} checked')
        check_cards(following, page_cards(browser), expected[first:first + len(cards)], failures)
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


def wave(length, seed):
    """Smooth bytes: three triangle waves of different periods, interleaved as channels."""
    rng = random.Random(seed)
    periods = [rng.randrange(60, 400) for _ in range(3)]
    return bytes(abs(((i // 3) * 512 // periods[i % 3]) % 512 - 256) % 256 for i in range(length))


def grainy(smooth, noise, rng, start, length):
    """The smooth bytes from start with grain in their low bits, as photos have: no row is a copy
    of another, which compression would find."""
    at = rng.randrange(0, len(noise) - length)
    return (int.from_bytes(smooth[start:start + length], 'big') ^
            int.from_bytes(noise[at:at + length], 'big')).to_bytes(length, 'big')


def picture_file(rng, smooth, noise):
    """One stored picture: a header, then rows taken from the smooth bytes at a moving start."""
    kind = rng.choice(('bmp24', 'bmp32', 'pgm', 'ppm', 'tga24'))
    width, height = rng.randrange(48, 129), rng.randrange(48, 129)
    size = {'bmp24': 3, 'bmp32': 4, 'pgm': 1, 'ppm': 3, 'tga24': 3}[kind]
    row = width * size
    stride = (row + 3) // 4 * 4 if kind.startswith('bmp') else row
    start, step = rng.randrange(0, len(smooth) - 200000), rng.choice((3, 6, 9, 12))
    rows = b''.join(grainy(smooth, noise, rng, start + y * step, row) + bytes(stride - row) for y in range(height))
    if kind.startswith('bmp'):
        head = struct.pack('<2sIHHIIiiHHIIiiII', b'BM', 54 + len(rows), 0, 0, 54, 40, width, height, 1, size * 8, 0,
                           len(rows), 2835, 2835, 0, 0)
    elif kind in ('pgm', 'ppm'):
        head = b'P5' if kind == 'pgm' else b'P6'
        head += b'\n%d %d\n255\n' % (width, height)
    else:
        head = struct.pack('<BBBHHBHHHHBB', 0, 0, 2, 0, 0, 0, 0, 0, width, height, 24, 0)
    return head + rows


def many_pictures(path, count):
    """count small stored pictures (BMP, PGM, PPM, TGA) of varied sizes, one after another with a
    little noise between."""
    rng = random.Random(count)
    smooth = wave(1 << 20, count)
    noise = bytes(rng.getrandbits(4) for _ in range(1 << 20))
    with open(path, 'wb') as out:
        for _ in range(count):
            # Files of a pack begin on 16-byte boundaries, with a little of something else between.
            out.write(picture_file(rng, smooth, noise))
            out.write(bytes(rng.getrandbits(8) for _ in range(16 + (-out.tell()) % 16)))


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
        many_pictures(os.path.join(work, 'many.bin'), 640)
        browser = Browser(chromium, os.path.join(work, 'profile'))
        for name in ('demo', 'larger', 'many'):
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
