"""Pages of other web sites in the operator's browser, next to the robot's own page: they must not
drive the robot, change a file or read a reply. Host names are mapped by Chromium's resolver, so
the pages are plain-http names as on a robot's network (no fetch metadata, no Origin on an image),
and once loopback addresses, where the browser does send fetch metadata."""
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from stack import Stack, end_all, start_all, wait_for  # noqa: E402

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


class CrossSiteTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.stack = Stack(extra_config='[Access]\nhosts=robot.test\n')
        cls.robot, cls.driver = start_all(
            cls.stack, ('--host-resolver-rules=MAP robot.test 127.0.0.1, MAP evil.test 127.0.0.1',))
        with open(cls.stack.path('/var/www/attack.html'), 'w') as f:
            f.write(ATTACK)

    @classmethod
    def tearDownClass(cls):
        end_all(cls.stack, cls.driver, cls.robot)

    def robot_still(self):
        pose = self.robot.pose()
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

    def test_with_fetch_metadata_on_loopback_a_foreign_page_is_refused_too(self):
        port = self.stack.port
        results = self.attack(f'http://localhost:{port}', f'http://127.0.0.1:{port}')
        self.assertEqual(results['marked'], 'blocked')
        self.assertIn('Sec-Fetch-Site "cross-site"', self.stack.log())


if __name__ == '__main__':
    unittest.main()
