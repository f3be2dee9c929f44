#!/usr/bin/env python3
"""The report's cost over many finds, for one or more builds of tessvane-find in one run: the size
of its first page and of all its pages, the finder's peak memory (/usr/bin/time -v) and how long
headless Chromium takes to show the first page's first screen of cards (their thumbnails decoded)
and to finish loading that page (what `chromium --headless --screenshot` waits for).

usage: report_pages.py COUNT FINDER [FINDER...]
The test file holds COUNT small stored pictures (BMP, PGM, PPM, TGA) of varied sizes and looks.
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'tests', 'report'))
from report_browser_test import Browser, many_pictures  # noqa: E402


def peak_kib(stderr):
    for line in stderr.splitlines():
        if 'Maximum resident set size' in line:
            return int(line.split(':')[1])
    return -1


def first_screen(browser, url):
    """Seconds until the cards on the first screen show their thumbnails, and until the page has
    loaded in full."""
    began = time.time()
    target = browser.call('Target.createTarget', session=False, url='about:blank')['targetId']
    browser.session = browser.call('Target.attachToTarget', session=False, targetId=target, flatten=True)['sessionId']
    browser.call('Page.navigate', url=url)
    began = time.time()
    shown = loaded = None
    visible = ("(() => { if (location.href !== %r) return false;"
               " const imgs = [...document.querySelectorAll('img.thumb')].filter(i => {"
               "  const r = i.getBoundingClientRect(); return r.top < innerHeight && r.bottom > 0; });"
               " return imgs.length > 0 && imgs.every(i => i.complete && i.naturalWidth > 0); })()" % url)
    while time.time() - began < 600:
        if shown is None and browser.evaluate(visible):
            browser.call('Page.captureScreenshot', format='png')
            shown = time.time() - began
        if loaded is None and browser.evaluate("location.href === %r && document.readyState === 'complete'" % url):
            loaded = time.time() - began
        if shown is not None and loaded is not None:
            break
        time.sleep(0.05)
    browser.call('Target.closeTarget', session=False, targetId=target)
    return shown, loaded


def main():
    count, finders = int(sys.argv[1]), sys.argv[2:]
    work = tempfile.mkdtemp(prefix='tessvane-report-bench-')
    try:
        data = os.path.join(work, 'pictures.bin')
        many_pictures(data, count)
        print(f'{count} stored pictures, {os.path.getsize(data)} bytes')
        chromium = shutil.which('chromium') or shutil.which('chromium-browser')
        for k, finder in enumerate(finders):
            page = os.path.join(work, f'report{k}.html')
            run = subprocess.run(['/usr/bin/time', '-v', finder, '--tsv', '--report', page, data],
                                 capture_output=True, text=True)
            finds = len(run.stdout.strip().split('\n')) - 1
            scan = subprocess.run(['/usr/bin/time', '-v', finder, '--tsv', data], capture_output=True, text=True)
            size = os.path.getsize(page) if os.path.exists(page) else -1
            pages = [os.path.join(work, name) for name in os.listdir(work) if name.startswith(f'report{k}')]
            line = (f'{finder}: status {run.returncode}, {finds} finds, first page {size / 1e6:.1f} MB, '
                    f'{len(pages)} pages {sum(map(os.path.getsize, pages)) / 1e6:.1f} MB, peak '
                    f'{peak_kib(run.stderr) / 1024:.0f} MiB (scan alone {peak_kib(scan.stderr) / 1024:.0f} MiB)')
            if chromium and size > 0:
                browser = Browser(chromium, os.path.join(work, f'profile{k}'))
                try:
                    shown, loaded = first_screen(browser, 'file://' + page)
                finally:
                    browser.close()
                line += f', first screen {shown:.1f} s, loaded {loaded:.1f} s' if shown and loaded else \
                        f', first screen {shown}, loaded {loaded}'
            print(line, flush=True)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == '__main__':
    sys.exit(main())
