"""The robot's page in headless Chromium against the real daemon, robotsim and nginx."""
import os
import signal
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from stack import OdometryProbe, Stack, chromium, end_all, quit_chromium, start_all, wait_for  # noqa: E402

from selenium.webdriver.common.action_chains import ActionChains  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.common.keys import Keys  # noqa: E402

CAMERA = '/opt/taviron/etc/camera.conf'
DRIVE = '/opt/taviron/etc/drive.conf'
# What the page asks on its own; anything else it sends is an action.
READING = {'getDistance', 'getBatteryInfo', 'getIOBoardInfo', 'getProcessInfo', 'getimage', 'getDriveState', 'getState',
           'getNetworkChange', 'getProgramList', 'GetIFConf', 'getWLANConf', 'HEARTBEAT'}


class PageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.stack = Stack()
        cls.robot, cls.driver = start_all(cls.stack)

    @classmethod
    def tearDownClass(cls):
        end_all(cls.stack, cls.driver, cls.robot)

    def setUp(self):
        self.driver.switch_to.window(self.driver.window_handles[0])
        # A page of a test before may still hold the drive (for two seconds after its last command).
        self.assertTrue(wait_for(lambda: self.stack.command({'TYPE': 'getDriveState'})['driver'] is None, 10))
        self.driver.get(self.stack.url)
        self.driver.get_log('browser')  # what an earlier test left

    def tearDown(self):
        errors = [e for e in self.driver.get_log('browser') if e['level'] == 'SEVERE']
        self.assertEqual(errors, [], 'console errors')

    # Helpers ---------------------------------------------------------------------------------
    def js(self, script, *args):
        return self.driver.execute_script(script, *args)

    def until(self, script, timeout=15, message=''):
        """Waits until the JavaScript expression is true in the page; fails with `message`."""
        value = wait_for(lambda: self.js('return ' + script), timeout)
        self.assertTrue(value, message or script)
        return value

    def text(self, selector):
        return self.driver.find_element(By.CSS_SELECTOR, selector).text

    def setting(self, category, item_name):
        label = self.driver.find_element(
            By.XPATH, f"//fieldset[@data-category='{category}']//label[starts-with(text(), '{item_name}')]")
        return self.driver.find_element(By.ID, label.get_attribute('for'))

    def type_into(self, element, text):
        element.clear()
        element.send_keys(text)

    def actions_until_stop_button(self, act):
        """Runs `act` and returns the actions the page sent for it, in order: drive commands leave one
        after the other, so all of them went out before a stop of the STOP button that follows."""
        self.js("if (!window.sent) { const fetch = window.fetch; window.fetch = (url, ...rest) => {"
                "  window.sent.push(JSON.parse(decodeURIComponent(String(url).split('?')[1])));"
                "  return fetch(url, ...rest); } } window.sent = [];")
        act()
        self.js("window.sent.push('marker'); document.querySelector('#stop-all').click()")
        self.until("window.sent.slice(window.sent.indexOf('marker')).some(c => c.TYPE === 'stop')")
        sent = self.js("return window.sent.slice(0, window.sent.indexOf('marker'))")
        return [c for c in sent if c['TYPE'] not in READING or 'output' in c]

    def robot_still(self):
        pose = self.robot.pose()
        return pose is not None and pose['vx'] == 0 and pose['vy'] == 0 and pose['omega'] == 0

    # Tests -----------------------------------------------------------------------------------
    def test_every_section_fills_from_the_simulated_robot(self):
        self.until("document.querySelectorAll('#distance-rays text').length === 9 && "
                   "[...document.querySelectorAll('#distance-rays text')].every(t => /\\d/.test(t.textContent))")
        self.until("/V, .* A/.test(document.querySelector('#battery').textContent)")
        self.until("document.querySelectorAll('#chargers tbody tr').length === 3")
        self.until("document.querySelector('#digital-in').children.length > 0")
        self.until("document.querySelector('#outputs').querySelectorAll('input').length > 0")
        self.until("/free|contact/.test(document.querySelector('#bumper').textContent)")
        self.until("document.querySelector('#program-list').textContent.includes('hello.rvw')")
        self.until("document.querySelector('#eth-now').textContent.includes('/')")
        self.until("document.querySelector('#wlan-form [name=ssid]').value === 'robot-ap'")
        self.until("document.querySelectorAll('#settings-categories fieldset').length === 2")
        self.until("document.querySelector('#version').textContent === 'webgated demo 1.0'")
        # The package list is switched on by the menu item of the sandbox's configuration.
        self.until("!document.querySelector('#update-box').hidden")
        self.until("document.querySelector('#camera-image').naturalWidth > 0")
        self.assertEqual(self.text('#connection'), 'Connected')
        # Passphrases stay hidden until asked for.
        phrase = self.driver.find_element(By.CSS_SELECTOR, '#hostapd-form [name=passphrase]')
        self.until("document.querySelector('#hostapd-form [name=passphrase]').value === 'robot secret'")
        self.assertEqual(phrase.get_attribute('type'), 'password')
        self.driver.find_element(By.CSS_SELECTOR, '#hostapd-form .reveal').click()
        self.assertEqual(phrase.get_attribute('type'), 'text')
        # The integer shown in float form, the float's bounds, a yes/no entry as a switch.
        self.assertEqual(self.setting(DRIVE, 'Drive/encoderTicks').get_attribute('value'), '1.23457e+06')
        gain = self.setting(CAMERA, 'Camera/gain')
        self.assertEqual([gain.get_attribute(a) for a in ('type', 'min', 'max', 'step')], ['number', '0', '2.5', '0.1'])
        self.assertEqual(self.setting(CAMERA, 'Camera/autoExposure').get_attribute('type'), 'checkbox')

    def test_without_a_version_file_the_page_says_version_unknown_and_shows_no_error(self):
        version = self.stack.path('/version.txt')
        os.rename(version, version + '.away')
        try:
            self.assertEqual(self.stack.command({'TYPE': 'getVersion'}), {'TYPE': 'ERR'})
            self.driver.refresh()
            self.until("document.querySelector('#version-line').textContent === 'Version unknown'")
            # The error would have been shown in the same turn as the text.
            self.assertEqual(self.js("return document.querySelectorAll('#messages .error').length"), 0)
        finally:
            os.rename(version + '.away', version)

    def test_at_phone_width_nothing_runs_off_the_side_and_camera_pad_and_stop_share_the_screen(self):
        self.driver.execute_cdp_cmd('Emulation.setDeviceMetricsOverride',
                                    {'width': 390, 'height': 844, 'deviceScaleFactor': 1, 'mobile': True})
        try:
            self.driver.refresh()
            self.until("document.querySelectorAll('#chargers tbody tr').length === 3 && "
                       "document.querySelectorAll('#settings-categories fieldset').length === 2")
            self.assertEqual(self.js('return document.documentElement.scrollWidth'), 390)
            # The picture at its larger size, and the pad with a driver's line above it.
            self.driver.find_element(By.CSS_SELECTOR, '[data-res=high]').click()
            self.until("document.querySelector('#camera-image').naturalWidth === 640")
            self.js("document.querySelector('#drive-owner').hidden = false")
            box = "(s) => document.querySelector(s).getBoundingClientRect()"
            camera, pad = self.js(f"const box = {box}; return [box('#camera-image'), box('.pad')]")
            self.assertGreaterEqual(camera['top'], 0)
            self.assertLessEqual(camera['right'], 390)
            self.assertLessEqual(pad['bottom'], 844, 'the pad is not on the screen with the camera')
            # STOP is on top of whatever is under it, at every scroll position.
            for where in ('0', 'document.documentElement.scrollHeight / 2', 'document.documentElement.scrollHeight'):
                self.js(f'window.scrollTo(0, {where})')
                self.assertTrue(self.js(f"const b = ({box})('#stop-all'); return b.top >= 0 && b.bottom <= innerHeight"
                                        " && document.elementFromPoint((b.left + b.right) / 2, (b.top + b.bottom) / 2)"
                                        " === document.querySelector('#stop-all')"), where)
        finally:
            self.driver.execute_cdp_cmd('Emulation.clearDeviceMetricsOverride', {})

    def test_camera_picture_changes_and_the_resolution_switch_changes_its_size(self):
        grab = ("const i = document.querySelector('#camera-image'); if (!i.complete || !i.naturalWidth) return null;"
                "const c = document.createElement('canvas'); c.width = i.naturalWidth; c.height = i.naturalHeight;"
                "c.getContext('2d').drawImage(i, 0, 0); return c.toDataURL();")
        first = wait_for(lambda: self.js(grab), 15)
        self.assertTrue(first)
        self.assertTrue(wait_for(lambda: (self.js(grab) or first) != first, 15), 'the picture never changed')
        # The first answers are the no-camera picture, until the robot's frames arrive.
        self.until("window.cameraStats.live && /^\\d+ × \\d+/.test(document.querySelector('#camera-info').textContent)")
        self.assertEqual(self.js('return window.cameraStats.mode'), 'stream')
        self.driver.find_element(By.CSS_SELECTOR, '[data-res=high]').click()
        self.until("document.querySelector('#camera-image').naturalWidth === 640 && "
                   "document.querySelector('#camera-image').naturalHeight === 480")
        self.driver.find_element(By.CSS_SELECTOR, '[data-res=low]').click()
        self.until("document.querySelector('#camera-image').naturalWidth === 320 && "
                   "document.querySelector('#camera-image').naturalHeight === 240")

    def test_a_stalled_camera_stream_gives_way_to_next_frame_requests(self):
        self.until("window.cameraStats.live && window.cameraStats.mode === 'stream'")
        daemon = self.stack.daemon_process
        daemon.send_signal(signal.SIGSTOP)  # nothing comes: the stream stalls
        try:
            self.until('window.cameraStats.stalls > 0', 10)
        finally:
            daemon.send_signal(signal.SIGCONT)
        self.until("window.cameraStats.mode === 'next frame'")
        shown = self.js('return window.cameraStats.pictures')
        self.until(f'window.cameraStats.pictures > {shown} + 5 && window.cameraStats.live')
        # The picture's age is said while it is old, and not once it is new again.
        self.assertNotIn('old', self.text('#camera-info'))

    def test_holding_forward_on_the_pad_drives_the_robot_and_letting_go_stops_it(self):
        self.assertTrue(wait_for(self.robot_still, 10), 'the robot was moving before the test')
        start = self.robot.pose()
        pad = self.driver.find_element(By.CSS_SELECTOR, '[data-dir=forward]')
        ActionChains(self.driver).click_and_hold(pad).perform()
        # Held for about a second: the robot's own odometry shows it driving forward.
        moved = wait_for(lambda: self.robot.pose()['x'] > start['x'] + 0.05 and self.robot.pose(), 10)
        self.assertTrue(moved, 'the robot did not drive forward')
        self.assertGreater(moved['vx'], 0)
        self.assertAlmostEqual(moved['y'], start['y'], delta=0.01)
        marker = len(self.stack.log())
        ActionChains(self.driver).release(pad).perform()
        self.assertTrue(wait_for(self.robot_still, 10), 'the robot kept driving')
        # Stopped by the page's stop command, not by the watchdog.
        self.assertIn('Done:{"TYPE":"stop"}', self.stack.log()[marker:])
        self.assertEqual(self.text('#drive-state'), 'Stopped')

    def test_with_the_keyboard_alone_enter_holds_a_pad_button_and_space_stops(self):
        self.assertTrue(wait_for(self.robot_still, 10))
        start = self.robot.pose()
        self.js("document.querySelector('[data-dir=left]').focus()")
        ActionChains(self.driver).key_down(Keys.ENTER).perform()
        self.assertTrue(wait_for(lambda: self.robot.pose()['y'] > start['y'] + 0.03, 10), 'not driving left')
        ActionChains(self.driver).key_up(Keys.ENTER).perform()
        self.assertTrue(wait_for(self.robot_still, 10))
        moved = self.robot.pose()
        body = self.driver.find_element(By.TAG_NAME, 'body')
        ActionChains(self.driver).key_down('d', body).perform()
        self.assertTrue(wait_for(lambda: self.robot.pose()['y'] < moved['y'] - 0.03, 10), 'not driving right')
        marker = len(self.stack.log())
        ActionChains(self.driver).send_keys(Keys.SPACE).perform()  # with D still held
        self.assertTrue(wait_for(self.robot_still, 10))
        self.assertIn('Done:{"TYPE":"stop"}', self.stack.log()[marker:])
        ActionChains(self.driver).key_up('d').perform()

    def test_after_the_speed_slider_the_arrow_keys_still_drive(self):
        self.assertTrue(wait_for(self.robot_still, 10))
        start = self.robot.pose()
        slider = self.driver.find_element(By.ID, 'drive-speed')
        slider.click()
        value = slider.get_attribute('value')
        ActionChains(self.driver).key_down(Keys.ARROW_UP).perform()
        self.assertTrue(wait_for(lambda: self.robot.pose()['x'] > start['x'] + 0.03, 10), 'not driving forward')
        ActionChains(self.driver).key_up(Keys.ARROW_UP).perform()
        self.assertTrue(wait_for(self.robot_still, 10))
        self.assertEqual(slider.get_attribute('value'), value)

    def test_two_pages_one_drives_the_other_watches_and_takes_over_after_asking(self):
        self.assertTrue(wait_for(self.robot_still, 10))
        other = chromium()
        try:
            other.get(self.stack.url)
            # This page (A) loads first and knows of no driver when the other (B) starts driving.
            self.until("!document.querySelector('[data-dir=forward]').disabled")
            b_pad = other.find_element(By.CSS_SELECTOR, '[data-dir=forward]')
            self.assertTrue(wait_for(lambda: b_pad.is_enabled(), 15))
            # A does not learn that B drives (its readings of the drive state fail) until it is refused,
            # and its drive command leaves only when the test opens the gate.
            self.js("window.realFetch = window.fetch; window.sent = [];"
                    "const gate = new Promise((resolve) => { window.openGate = resolve; });"
                    "window.fetch = (url, ...rest) => { const c = JSON.parse(decodeURIComponent(String(url).split('?')[1]));"
                    "  if (c.TYPE === 'getDriveState' || c.TYPE === 'getState') return Promise.reject(new Error('not now'));"
                    "  window.sent.push(c.TYPE);"
                    "  return c.TYPE === 'velDrive' ? gate.then(() => window.realFetch(url, ...rest)) : window.realFetch(url, ...rest); };")
            start = self.robot.pose()
            ActionChains(other).click_and_hold(b_pad).perform()
            self.assertTrue(wait_for(lambda: self.robot.pose()['x'] > start['x'] + 0.03, 10), 'B does not drive')
            self.assertTrue(wait_for(lambda: other.find_element(By.ID, 'drive-owner-text').text == 'You are driving', 10))
            # A's press is refused, and its release (before the refusal came) stops nothing.
            stops = self.stack.log().count('Done:{"TYPE":"stop"}')
            pad = self.driver.find_element(By.CSS_SELECTOR, '[data-dir=forward]')
            ActionChains(self.driver).click_and_hold(pad).release(pad).perform()
            self.js('window.openGate()')
            self.until("document.querySelector('#drive-state').textContent === "
                       "'Not driving: another page drives the robot'")
            self.js("window.sent.push('marker'); document.querySelector('#program-refresh').click()")
            self.until("window.sent.includes('getProgramList')")
            self.assertEqual(self.js("return window.sent.filter(t => t === 'velDrive' || t === 'stop')"), ['velDrive'])
            moved = self.robot.pose()
            self.assertTrue(wait_for(lambda: self.robot.pose()['x'] > moved['x'] + 0.03, 10), 'B was stopped')
            self.assertEqual(self.stack.log().count('Done:{"TYPE":"stop"}'), stops)
            self.js("window.fetch = window.realFetch")
            self.until("document.querySelector('#drive-owner-text').textContent.startsWith("
                       "'Driven from 127.0.0.1 (Chrome on Linux) for ') && "
                       "!document.querySelector('#take-over').hidden && "
                       "document.querySelector('[data-dir=forward]').disabled")
            # Taking over asks first; then the robot stops, B learns that it lost the drive and A drives.
            self.driver.find_element(By.ID, 'take-over').click()
            self.until("document.querySelector('#confirm').open")
            self.driver.find_element(By.CSS_SELECTOR, '#confirm button[value=cancel]').click()
            self.assertFalse(self.robot_still())
            self.driver.find_element(By.ID, 'take-over').click()
            self.until("document.querySelector('#confirm').open")
            self.driver.find_element(By.ID, 'confirm-ok').click()
            self.assertTrue(wait_for(self.robot_still, 10), 'the robot did not stop on the take-over')
            self.until("document.querySelector('#drive-owner-text').textContent === 'You are driving'")
            self.assertTrue(wait_for(lambda: other.find_element(By.ID, 'drive-owner-text').text.startswith(
                'Driven from 127.0.0.1') and not b_pad.is_enabled(), 10), 'B did not see that it lost the drive')
            self.assertIn(other.find_element(By.ID, 'drive-state').text,
                          ('Not driving: another page drives the robot', 'Stopped: another page took the drive over'))
            ActionChains(other).release(b_pad).perform()
            start = self.robot.pose()
            ActionChains(self.driver).click_and_hold(pad).perform()
            self.assertTrue(wait_for(lambda: self.robot.pose()['x'] > start['x'] + 0.03, 10), 'A does not drive')
            ActionChains(self.driver).release(pad).perform()
            self.assertTrue(wait_for(self.robot_still, 10))
        finally:
            quit_chromium(other)

    def test_space_only_stops_whatever_has_focus_and_is_typed_in_text_fields(self):
        self.until("document.querySelector('#relays input') && "
                   "document.querySelector(\"[aria-label='Run hello.rvw']\")")
        relay = self.driver.find_element(By.CSS_SELECTOR, '#relays input')
        was_on = relay.is_selected()
        marker = len(self.stack.log())
        for target in ('#relays input', '#position-form [type=submit]', "[aria-label='Run hello.rvw']"):
            self.js('document.querySelector(arguments[0]).focus()', target)
            sent = self.actions_until_stop_button(
                lambda: ActionChains(self.driver).key_down(Keys.SPACE).key_up(Keys.SPACE).perform())
            self.assertEqual(sent, [{'TYPE': 'stop'}], f'Space on {target}')
            self.assertEqual(self.js('return document.activeElement === document.querySelector(arguments[0])',
                                     target), True)
        self.assertEqual(relay.is_selected(), was_on)
        # Six stops, and the move they would have overtaken is not among them.
        self.assertTrue(wait_for(lambda: self.stack.log()[marker:].count('Done:{"TYPE":"stop"}') >= 6, 15))
        self.assertNotIn('positionDrive', self.stack.log()[marker:])
        self.assertFalse(self.stack.running_programs())

        # A held Space repeats its keydown: one press, one stop.
        self.js('document.activeElement.blur()')
        space = {'code': 'Space', 'key': ' ', 'windowsVirtualKeyCode': 32}

        def hold_space():
            for repeat in (False, True, True, True):
                self.driver.execute_cdp_cmd('Input.dispatchKeyEvent',
                                            {'type': 'keyDown', 'text': ' ', 'autoRepeat': repeat, **space})
            self.driver.execute_cdp_cmd('Input.dispatchKeyEvent', {'type': 'keyUp', **space})
        self.assertEqual(self.actions_until_stop_button(hold_space), [{'TYPE': 'stop'}])

        # In a text field Space is typed, and stops nothing.
        self.until("document.querySelector('#wlan-form [name=ssid]').value === 'robot-ap'")
        self.js("const f = document.querySelector('#wlan-form [name=ssid]'); f.focus(); f.setSelectionRange(8, 8)")
        sent = self.actions_until_stop_button(lambda: ActionChains(self.driver).send_keys(Keys.SPACE + '2').perform())
        self.assertEqual(sent, [])
        self.assertEqual(self.js("return document.querySelector('#wlan-form [name=ssid]').value"), 'robot-ap 2')

    def test_with_the_robot_gone_the_page_says_so_and_drives_again_when_it_is_back(self):
        self.until("document.querySelector('#connection').textContent === 'Connected' && "
                   "!document.querySelector('[data-dir=forward]').disabled")
        moving = ("[...document.querySelectorAll('[data-dir]:not([data-dir=stop]), #drive-speed, "
                  "#position-form input, #position-form select, #position-form [type=submit]')]")
        stops = "[...document.querySelectorAll('#stop-all, [data-dir=stop], #position-stop')]"
        self.robot.close()
        self.stack.stop_robot()
        try:
            self.until("document.querySelector('#connection').textContent === 'Robot not connected'", 20)
            self.until(f"{moving}.every(e => e.disabled) && {stops}.every(e => !e.disabled)")
            self.until("document.querySelector('#sensors').classList.contains('stale') && "
                       "!document.querySelector('#sensors-stale').hidden")
            marker = len(self.stack.log())
            pad = self.driver.find_element(By.CSS_SELECTOR, '[data-dir=forward]')
            body = self.driver.find_element(By.TAG_NAME, 'body')

            def try_to_drive():
                ActionChains(self.driver).key_down(Keys.ARROW_UP, body).key_up(Keys.ARROW_UP).perform()
                ActionChains(self.driver).click_and_hold(pad).release(pad).perform()
                self.js("document.querySelector('#position-form').requestSubmit()")
            self.assertEqual(self.actions_until_stop_button(try_to_drive), [])
            self.assertTrue(wait_for(lambda: '{"TYPE":"stop"}' in self.stack.log()[marker:], 15))
            self.assertNotIn('velDrive', self.stack.log()[marker:])
            self.assertNotIn('positionDrive', self.stack.log()[marker:])
        finally:
            self.stack.start_robot()
            type(self).robot = OdometryProbe(self.stack.robot_port)
        self.until("document.querySelector('#connection').textContent === 'Connected'", 20)
        self.until(f"{moving}.every(e => !e.disabled) && !document.querySelector('#sensors').classList.contains('stale')"
                   " && document.querySelector('#sensors-stale').hidden")

    def test_a_relative_move_from_the_form_ends_at_its_target(self):
        self.assertTrue(wait_for(self.robot_still, 10))
        start = self.robot.pose()
        form = self.driver.find_element(By.ID, 'position-form')
        self.type_into(form.find_element(By.NAME, 'x'), '0.4')
        form.find_element(By.CSS_SELECTOR, '[type=submit]').click()
        # Its progress as the daemon reports what is left, then its end as the daemon says it.
        self.until("/^Moving: 0\\.[1-3]\\d m and 0° left$/.test(document.querySelector('#drive-state').textContent)"
                   " && document.querySelector('#move-progress').value > 0.1", 20)
        self.until("document.querySelector('#drive-state').textContent === 'Arrived at the target' && "
                   "document.querySelector('#move-progress').value === 1", 40)
        # Kept alive past the watchdog's two seconds until the target is reached.
        arrived = wait_for(lambda: self.robot.pose()['x'] > start['x'] + 0.38 and self.robot_still(), 10)
        self.assertTrue(arrived, f'the robot stopped at {self.robot.pose()} from {start}')
        self.assertAlmostEqual(self.robot.pose()['x'], start['x'] + 0.4, delta=0.03)
        self.assertEqual(self.stack.command({'TYPE': 'getDriveState'})['lastStop']['reason'], 'reached')

    def test_closing_the_tab_while_driving_leaves_the_robot_stopped(self):
        self.assertTrue(wait_for(self.robot_still, 10))
        self.driver.switch_to.new_window('tab')
        self.driver.get(self.stack.url)
        start = self.robot.pose()
        ActionChains(self.driver).key_down(Keys.ARROW_UP).perform()
        self.assertTrue(wait_for(lambda: self.robot.pose()['x'] > start['x'] + 0.02, 10), 'not driving')
        self.driver.close()  # with the key still held
        self.driver.switch_to.window(self.driver.window_handles[0])
        # Within the watchdog's two seconds (and the wait's slack for a loaded machine).
        self.assertTrue(wait_for(self.robot_still, 10), 'the robot kept driving after the tab closed')
        stopped = self.robot.pose()
        self.assertTrue(wait_for(lambda: self.robot.pose()['sequence'] > stopped['sequence'] + 5, 10))
        self.assertTrue(self.robot_still())

    def test_a_saved_setting_is_in_the_file_and_shown_after_a_reload(self):
        drive_before = self.stack.read(DRIVE)
        self.until("document.querySelectorAll('#settings-categories fieldset').length === 2")
        self.type_into(self.setting(CAMERA, 'Camera/fps'), '15')
        self.driver.find_element(By.CSS_SELECTOR, '#settings-form [type=submit]').click()
        self.until("document.querySelector('#settings-result').textContent.startsWith('Saved 1 change')")
        self.assertIn('\nfps=15\n', self.stack.read(CAMERA))
        # Only the changed item is sent: the integer shown as 1.23457e+06 stays as it was.
        self.assertEqual(self.stack.read(DRIVE), drive_before)
        self.driver.refresh()
        self.until("document.querySelectorAll('#settings-categories fieldset').length === 2")
        self.assertEqual(self.setting(CAMERA, 'Camera/fps').get_attribute('value'), '15')
        # The component's restart rule runs.
        self.driver.find_element(By.XPATH, "//button[text()='Restart Camera']").click()
        self.assertEqual(wait_for(lambda: self.stack.read('/run/restarts'), 15), 'camera restarted\n')

        # Characters a URL would carry differently reach the file as typed.
        self.type_into(self.setting(DRIVE, 'Drive/name'), 'robot #1 <50% & co> +"x"')
        self.driver.find_element(By.CSS_SELECTOR, '#settings-form [type=submit]').click()
        self.until("document.querySelector('#settings-result').textContent.startsWith('Saved 1 change')")
        self.assertIn('\nname=robot #1 <50% & co> +"x"\n', self.stack.read(DRIVE))

    def test_a_save_the_daemon_refuses_shows_its_error(self):
        self.until("document.querySelectorAll('#settings-categories fieldset').length === 2")
        before = self.stack.read(DRIVE)
        # A value ending in a blank would not read back as written: the daemon refuses it.
        self.type_into(self.setting(DRIVE, 'Drive/name'), 'robot two ')
        self.driver.find_element(By.CSS_SELECTOR, '#settings-form [type=submit]').click()
        self.until("document.querySelector('#settings-result').textContent.startsWith('Not saved')")
        self.until("[...document.querySelectorAll('#messages .error')].some(m => m.textContent.includes('Not saved'))")
        self.assertEqual(self.stack.read(DRIVE), before)
        # A value the page itself can tell is wrong never leaves it.
        marker = len(self.stack.log())
        self.type_into(self.setting(DRIVE, 'Drive/name'), 'robot one')
        self.type_into(self.setting(CAMERA, 'Camera/fps'), 'ten')
        self.driver.find_element(By.CSS_SELECTOR, '#settings-form [type=submit]').click()
        self.until("[...document.querySelectorAll('#messages .error')].some(m => m.textContent.includes('Camera/fps'))")
        self.driver.find_element(By.ID, 'settings-reload').click()  # a marker request
        self.until("document.querySelector('#settings-result').textContent === ''")
        self.assertNotIn('saveSettings', self.stack.log()[marker:])
        self.driver.get_log('browser')  # the form's own refusal is not a fault of the page

    def test_many_changes_go_in_saves_the_web_server_takes_and_a_change_too_long_for_one_is_refused(self):
        self.until("document.querySelectorAll('#settings-categories fieldset').length === 2")
        name, ticks = self.setting(DRIVE, 'Drive/name'), self.setting(DRIVE, 'Drive/encoderTicks')
        marker = len(self.stack.log())
        # Each of these alone is near the page's 16 KiB; together they are twice that.
        self.js("arguments[0].value = 'n'.repeat(15000); arguments[1].value = '7'.repeat(15000)", name, ticks)
        self.driver.find_element(By.CSS_SELECTOR, '#settings-form [type=submit]').click()
        self.until("document.querySelector('#settings-result').textContent.startsWith('Saved 2 changes')", 30)
        drive = self.stack.read(DRIVE)
        self.assertIn('\nname=' + 'n' * 15000 + '\n', drive)
        self.assertIn('\nencoderTicks=' + '7' * 15000 + '\n', drive)
        self.assertTrue(wait_for(lambda: self.stack.log()[marker:].count('Done:{"TYPE":"saveSettings"') == 2, 10))

        # One change longer than any request the web server takes never leaves the page.
        self.until("document.querySelectorAll('#settings-categories fieldset').length === 2")
        marker = len(self.stack.log())
        self.js("arguments[0].value = 'x'.repeat(17000)", self.setting(DRIVE, 'Drive/name'))
        self.driver.find_element(By.CSS_SELECTOR, '#settings-form [type=submit]').click()
        self.until("document.querySelector('#settings-result').textContent.includes('too long for the robot')")
        self.js("document.querySelector('#settings-reload').click()")  # a marker request, under the message
        self.until("document.querySelector('#settings-result').textContent === ''")
        self.assertNotIn('saveSettings', self.stack.log()[marker:])
        self.assertEqual(self.stack.read(DRIVE), drive)

    def test_a_program_run_from_the_page_shows_its_output_and_stop_ends_it(self):
        self.until("document.querySelector('#program-list').textContent.includes('hello.rvw')")
        self.driver.find_element(By.CSS_SELECTOR, "[aria-label='Run hello.rvw']").click()
        self.until("document.querySelector('#console').textContent.includes('> say \"hello.rvw\"')")
        self.until("document.querySelector('#console').textContent.includes('step 2')")
        self.until("document.querySelector('#program-state').textContent === 'hello.rvw: running'")
        self.assertTrue(self.stack.running_programs())
        self.driver.find_element(By.ID, 'program-stop').click()
        self.assertTrue(wait_for(lambda: not self.stack.running_programs(), 15), 'the program still runs')
        self.until("document.querySelector('#program-state').textContent === 'No program running'")

    def test_store_errors_are_shown_in_words_and_a_delete_asks_first(self):
        self.until("document.querySelector('#program-list').textContent.includes('square.rvw')")
        self.driver.find_element(By.CSS_SELECTOR, "[aria-label='Rename square.rvw']").click()
        prompt = wait_for(lambda: self._alert(), 10)
        prompt.send_keys('bad name')
        prompt.accept()
        self.until("[...document.querySelectorAll('#messages .error')].some(m => "
                   "m.textContent.includes('Invalid new file name bad name'))")
        for dismiss in self.driver.find_elements(By.CSS_SELECTOR, '#messages button'):
            dismiss.click()
        self.driver.find_element(By.CSS_SELECTOR, "[aria-label='Delete square.rvw']").click()
        self.until("document.querySelector('#confirm').open")
        self.driver.find_element(By.ID, 'confirm-ok').click()
        self.until("!document.querySelector('#program-list').textContent.includes('square.rvw')")
        self.assertFalse(os.path.exists(self.stack.path('/home/corvanta/programs/square.rvw')))
        self.driver.get_log('browser')

    def _alert(self):
        try:
            return self.driver.switch_to.alert
        except Exception:
            return None

    def eth_runs(self):
        return self.stack.read('/run/reconfigure_eth0.sh.args').splitlines()

    def test_a_network_change_runs_only_after_confirmation_and_the_page_keeps_it(self):
        self.until("document.querySelector('#eth-now').textContent.includes('/')")
        runs = len(self.eth_runs())
        form = self.driver.find_element(By.ID, 'eth-form')
        self.type_into(form.find_element(By.NAME, 'IP'), '10.10.0.7')
        self.type_into(form.find_element(By.NAME, 'Netmask'), '255.255.0.0')
        form.find_element(By.CSS_SELECTOR, '[type=submit]').click()
        self.until("document.querySelector('#confirm').open")
        self.driver.find_element(By.CSS_SELECTOR, '#confirm button[value=cancel]').click()
        form.find_element(By.CSS_SELECTOR, '[type=submit]').click()
        self.until("document.querySelector('#confirm').open")
        self.driver.find_element(By.ID, 'confirm-ok').click()
        self.until("[...document.querySelectorAll('#messages p')].some(m => m.textContent.includes('try setting eth0 static'))")
        self.assertTrue(wait_for(lambda: len(self.eth_runs()) > runs, 10))
        self.assertEqual(self.eth_runs()[runs:], ['static 10.10.0.7 255.255.0.0'])
        # The page still reaches the robot after the change, so it keeps it by itself.
        self.until("[...document.querySelectorAll('#messages p')].some(m => m.textContent.includes('Network settings kept'))")
        self.assertEqual(self.stack.command({'TYPE': 'getNetworkChange'})['state'], 'kept')
        self.assertEqual(self.eth_runs()[runs:], ['static 10.10.0.7 255.255.0.0'])

    def test_a_page_opened_while_another_change_waits_asks_and_never_keeps_it_by_itself(self):
        # A change of another test is over first.
        self.assertTrue(wait_for(lambda: not self.stack.command({'TYPE': 'getNetworkChange'})['pending'], 20))
        runs = len(self.eth_runs())
        change = self.stack.command({'TYPE': 'SetEthConf', 'DHCP': 'true', 'confirmWithin': 60})
        self.driver.switch_to.new_window('tab')
        try:
            self.driver.get(self.stack.url)
            text = "document.querySelector('#network-change-text').textContent"
            self.until(f"!document.querySelector('#network-change').hidden && {text}.startsWith("
                       "'Keep these network settings? Undone in ')")
            first = int(self.js(f"return {text}.match(/\\d+/)[0]"))
            # Two more polls at least, and it still waits for the person.
            self.until(f"+{text}.match(/\\d+/)[0] <= {first - 2}", 20)
            status = self.stack.command({'TYPE': 'getNetworkChange'})
            self.assertEqual((status['changeId'], status['state']), (change['changeId'], 'waiting'))
            self.driver.find_element(By.ID, 'network-undo').click()
            self.assertTrue(wait_for(
                lambda: self.stack.command({'TYPE': 'getNetworkChange'})['state'] == 'rolled back', 20))
            # Run again with the settings the interfaces file holds.
            self.assertEqual(self.eth_runs()[runs:], ['dhcp', 'static 10.10.0.5 255.255.0.0'])
            self.until("document.querySelector('#network-change').hidden")
        finally:
            self.driver.close()
            self.driver.switch_to.window(self.driver.window_handles[0])


if __name__ == '__main__':
    unittest.main()
