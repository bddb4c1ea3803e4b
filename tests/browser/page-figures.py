"""Screenshots of the robot's page (desktop and phone width) and its figures: time from page load
to the first camera picture, requests per second at rest, the daemon's CPU while one page is
open. Usage: page-figures.py [screenshot folder] (the build in WEBGATED_BINARY_DIR or ./build)."""
import base64
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from stack import Stack, chromium, quit_chromium, wait_for  # noqa: E402

WINDOW_S = 20


def full_page(driver, path, width):
    height = driver.execute_script('return document.documentElement.scrollHeight')
    driver.execute_cdp_cmd('Emulation.setDeviceMetricsOverride',
                           {'width': width, 'height': height, 'deviceScaleFactor': 1, 'mobile': width < 600})
    time.sleep(0.5)  # one more camera picture at the new size
    shot = driver.execute_cdp_cmd('Page.captureScreenshot', {'format': 'png', 'captureBeyondViewport': True})
    with open(path, 'wb') as f:
        f.write(base64.b64decode(shot['data']))
    driver.execute_cdp_cmd('Emulation.clearDeviceMetricsOverride', {})


def cpu_seconds(pid):
    with open(f'/proc/{pid}/stat') as f:
        fields = f.read().rsplit(')', 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf('SC_CLK_TCK')


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else None
    stack = Stack().start()
    driver = chromium()
    try:
        daemon = stack.processes[1].pid  # spawn-fcgi -n becomes the daemon
        idle_cpu = cpu_seconds(daemon)
        time.sleep(5)
        idle_cpu = (cpu_seconds(daemon) - idle_cpu) / 5
        driver.get(stack.url)
        wait_for(lambda: driver.execute_script('return window.cameraStats && window.cameraStats.firstPictureMs'), 20)
        first = driver.execute_script('return window.cameraStats.firstPictureMs')
        live = wait_for(lambda: driver.execute_script('return window.cameraStats.firstLiveMs'), 20)
        driver.execute_script('performance.setResourceTimingBufferSize(100000); performance.clearResourceTimings()')
        cpu0, t0 = cpu_seconds(daemon), time.monotonic()
        time.sleep(WINDOW_S)
        cpu1, t1 = cpu_seconds(daemon), time.monotonic()
        counts = driver.execute_script("""
            const c = {};
            for (const e of performance.getEntriesByType('resource')) {
              const m = decodeURIComponent(e.name).match(/"TYPE":"([^"]+)"/);
              const k = m ? m[1] : e.name; c[k] = (c[k] || 0) + 1; }
            return c;""")
        span = t1 - t0
        print(f'first picture: {first} ms after navigation start (the no-camera picture), first live camera frame: {live} ms')
        print(f'requests per second at rest ({span:.0f} s):')
        for name, n in sorted(counts.items(), key=lambda kv: -kv[1]):
            print(f'  {name:16} {n / span:5.1f}')
        print(f'  {"all":16} {sum(counts.values()) / span:5.1f}')
        print(f'daemon CPU: {100 * (cpu1 - cpu0) / span:.1f} % of one core with the page open '
              f'({100 * idle_cpu:.1f} % without)')
        if out:
            os.makedirs(out, exist_ok=True)
            driver.find_element('css selector', '[data-res=high]').click()
            wait_for(lambda: driver.execute_script(
                "return document.querySelector('#camera-image').naturalWidth === 640"), 10)
            driver.find_element('css selector', "[aria-label='Run hello.rvw']").click()
            wait_for(lambda: 'step 3' in driver.find_element('id', 'console').text, 15)
            full_page(driver, os.path.join(out, 'page-desktop.png'), 1280)
            full_page(driver, os.path.join(out, 'page-phone.png'), 390)
            driver.find_element('id', 'program-stop').click()
    finally:
        quit_chromium(driver)
        stack.stop()


if __name__ == '__main__':
    main()
