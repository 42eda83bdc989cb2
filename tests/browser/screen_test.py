"""`tvctl screen` in a real browser: the page is looked at and clicked as a person would, while
the real service runs on a fresh device root. A failing page test leaves a screenshot."""

import os
import shutil
import socket
import subprocess
import unittest
import urllib.error
import urllib.request

from television import SOURCE, TVCTL, Page, Television, chromium, wait_for

SCREENSHOTS = os.environ.get('SCREENSHOT_DIR', '/tmp')
UPDATE_NOW = '.notification button[data-button="2"]'


class ScreenPageTest(unittest.TestCase):
    def setUp(self):
        self.tv = Television()
        self.addCleanup(self.tv.close)
        if not self._testMethodName.endswith('_without_service'):
            self.tv.start_service()
        url = self.tv.start_screen()
        self.driver = chromium()
        self.addCleanup(self.driver.quit)
        self.page = Page(self.driver, url)

    def failed(self):
        result = self._outcome.result
        return any(test is self for test, _ in result.failures + result.errors)

    def tearDown(self):
        if not self.failed():
            self.assertEqual(self.tv.stop_screen(), 0, 'tvctl screen ended badly')
            return
        os.makedirs(SCREENSHOTS, exist_ok=True)
        shot = os.path.join(SCREENSHOTS, 'screen-%s.png' % self._testMethodName)
        self.driver.save_screenshot(shot)
        print('\nscreenshot of the failing page: %s' % shot)
        print('page message: %s' % self.page.message())
        print('story:\n  %s' % '\n  '.join(self.page.story()))
        print('platform log (tail):\n%s' % self.tv.read('log/dlog.log')[-3000:])

    def play(self, **fields):
        self.page.fill('#play', **fields)
        self.page.click('#play-button')
        return self.page.wait_shown('.notification')

    def test_fresh_device_page_draws_home_and_says_what_is_wrong_without_service(self):
        page = self.page
        self.assertEqual(page.find('#backdrop').get_attribute('data-app'), 'com.talvoro.tv.home')
        page.wait_text('#running', 'brenwick is not running')
        self.assertEqual(page.text('#home-version'), '1.0.0')
        self.assertEqual(page.text('#keys tr[data-key="memory/home/priority_update_status"] .value'),
                         'none')
        self.assertEqual(page.find('#language').get_attribute('value'), 'en_US.UTF-8')

        # A form value that is not valid is refused with the reason, on the page.
        page.fill('#play', maxRetry='many')
        page.click('#play-button')
        page.wait_text('#message', "400: --max-retry must be a decimal integer from 0 to 2147483647, got 'many'")
        # A play that cannot be carried out says why.
        page.fill('#play', maxRetry='3')
        page.click('#play-button')
        page.wait_text('#message', '409: com.talvoro.tv.brenwick is not running')

        # Unknown paths are not found; actions need the page's header.
        with self.assertRaises(urllib.error.HTTPError) as missing:
            urllib.request.urlopen(self.tv.url + 'secrets.txt')
        self.assertEqual(missing.exception.code, 404)
        with self.assertRaises(urllib.error.HTTPError) as forged:
            urllib.request.urlopen(self.tv.url + 'api/fault-clear', data=b'')
        self.assertEqual(forged.exception.code, 403)

        # The device root goes away and comes back: the page says so, then draws the new set.
        shutil.rmtree(self.tv.root)
        page.wait_text('#missing', 'No provisioned device root at ' + self.tv.root)
        self.tv.tvctl('init')
        page.wait_gone('#missing')
        page.wait_text('#home-version', '1.0.0')

    def test_update_played_from_the_store_form_installs_when_update_now_is_clicked(self):
        page = self.page
        card = self.play(stepDelay='0.3')
        self.assertEqual(card.find_element('css selector', 'h4').text, 'Update your Home Screen')
        buttons = self.page.all('.notification .buttons button')
        self.assertEqual([b.text for b in buttons], ['Update Later', 'Update Now', 'Details'])
        self.assertEqual([b.get_attribute('class') for b in buttons], ['default', '', ''])
        page.wait_text('.notification .time-left', 'hides in')

        # A second page opened now sees the same television.
        self.driver.switch_to.new_window('tab')
        second = Page(self.driver, self.tv.url)
        second.wait_shown('.notification')
        self.driver.switch_to.window(self.driver.window_handles[0])

        page.click(UPDATE_NOW)
        page.wait_gone('.notification')
        page.wait_shown('#view[data-screen=loading]')
        self.assertIn('Home is updating', page.text('#view'))
        page.wait_story('presses [Update Now] on notification #1')
        page.wait_story('allow_install')
        page.wait_story('record: installed Home version 2.0.0', 20)
        self.assertIn('installed Home version 2.0.0', page.story()[-4])
        page.wait_text('#home-version', '2.0.0')
        page.wait_gone('#view')  # the loading screen goes when the update has ended

    def test_notification_left_alone_hides_after_its_time_out_and_the_service_answers(self):
        page = self.page
        self.play(stepDelay='0.2', answerTimeout='60')
        page.wait_text('.notification .time-left', 'hides in')
        self.assertRegex(page.text('.notification .time-left'), r'^hides in (30|2\d) s$')
        page.wait_gone('.notification', 40)
        page.wait_story('notification #1 hidden by its time-out', 5)
        # The answer lives in the status key only until the store reads it; whoever of the
        # service's watcher and the store tells it first, the story has it.
        page.wait_story('deny_install', 5)

    def test_power_off_during_a_requested_update_resets_the_home_status(self):
        page = self.page
        # Long enough steps that the power-off lands before the store reports the download,
        # even on a loaded machine: after that the home status is rightly left alone.
        page.fill('#play', stepDelay='5')
        page.click('#serve')
        page.wait_text('#serving', 'store serves requests')
        page.click('#request')
        page.wait_shown('#view[data-screen=loading]')
        page.wait_story('home update status is now "start"')
        page.find('#off-state option[value="3"]').click()
        page.click('#power')
        page.wait_shown('#standby')
        page.wait_story('home update status is now "none"')
        page.wait_text('#log', 'power off [3]')
        page.click('#power')
        page.wait_gone('#standby')
        # No longer a requested update: the user is asked, and the store's walk ends.
        self.page.wait_shown('.notification', 30)
        page.click('.notification button[data-button="1"]')
        page.wait_story('install_later')
        page.wait_story('record: installed Home version 1.0.0', 40)
        page.click('#serve')
        page.wait_text('#serving', 'store is not serving')

    def test_hidden_key_switches_the_test_mode_on_with_a_toast(self):
        page = self.page
        page.click('#hidden-key')
        page.wait_text('#toasts', 'Home Update Test Mode On')
        page.wait_text('#hidden-mode', 'on')
        page.wait_story('toast "Home Update Test Mode On"')
        page.wait_gone('.toast', 10)  # it fades away

    def test_notification_comes_in_the_language_chosen_on_the_remote(self):
        page = self.page
        page.find('#language option[value="de_DE.UTF-8"]').click()
        page.wait_text('#keys tr[data-key="db/menu_widget/language"] .value', 'de_DE.UTF-8')
        self.play(stepDelay='0.2')
        self.assertEqual(page.texts('.notification .buttons button'),
                         ['Später aktualisieren', 'Jetzt aktualisieren', 'Details'])

    def test_fault_rule_added_on_the_page_fails_the_next_settings_read(self):
        page = self.page
        page.fill('#fault', call='vconf_get_str', result='null', times='1')
        page.click('#fault button[type=submit]')
        page.wait_text('#faults', 'vconf_get_str null 1')
        page.click('#request')
        page.wait_text('#log', 'return vconf fail')
        page.wait_text('#toasts', 'return vconf fail')
        wait_for(lambda: page.texts('#faults li') == [], 5, 'the rule to be used up')

        page.fill('#fault', call='pax_get_apps_sync_status', result='-1', times='')
        page.click('#fault button[type=submit]')
        page.wait_text('#faults', 'pax_get_apps_sync_status -1')
        page.click('#fault-clear')
        wait_for(lambda: page.texts('#faults li') == [], 5, 'the rules to be removed')


    def states(self):
        """Each step's tick, read at once: the list is drawn anew when a run starts."""
        return self.driver.execute_script(
            'return [...document.querySelectorAll("#story-steps li")]'
            '.map((step) => step.dataset.state || "")')

    def choose_story(self, path):
        wait_for(lambda: self.page.all('#story-file option[value="%s"]' % path), 10,
                 'the story %s to be listed' % path)
        self.driver.execute_script(
            'arguments[0].value = arguments[1];'
            'arguments[0].dispatchEvent(new Event("change"))', self.page.find('#story-file'), path)

    def test_story_ticks_step_by_step_then_to_its_end_beside_the_tv_without_service(self):
        page = self.page
        self.choose_story(os.path.join(SOURCE, 'stories', 'accept.story'))
        steps = len(page.all('#story-steps li'))
        self.assertGreater(steps, 10)
        for done in (1, 2):
            page.click('#story-step')
            wait_for(lambda: self.states()[:done + 1] == ['passed'] * done + ['next'], 20,
                     '%d step(s) ticked and the next one marked; they are %s' %
                     (done, self.states()))
        self.assertEqual(self.states()[3:], [''] * (steps - 3))
        page.click('#story-run')
        page.wait_text('#story-result', 'PASS', 30)
        self.assertEqual(self.states(), ['passed'] * steps)
        # The television beside the steps played the story: its narrator tells the press.
        page.wait_story('presses [Update Now] on notification #1')

        # A story loaded from a file whose expectation is wrong fails there, saying what it saw.
        path = os.path.join(self.tv.top, 'wrong.story')
        with open(path, 'w', encoding='utf-8') as story:
            story.write('title Later is taken for now\n'
                        'set memory/pax/priority_biu_status priority0_start\n'
                        'set memory/pax/priority_biu_status priority0_downloaded\n'
                        'expect notification "Update your Home Screen"\n'
                        'press $N 1\n'
                        'expect key memory/pax/priority_biu_status = allow_install within 1s\n'
                        'expect nothing more\n')
        page.find('#story-load').send_keys(path)
        wait_for(lambda: page.find('#story-file').get_attribute('value').endswith('/wrong.story'),
                 10, 'the loaded story to be chosen')
        page.click('#story-run')
        page.wait_text('#story-result', 'FAIL', 30)
        self.assertEqual(self.states(), ['passed'] * 4 + ['failed', ''])
        failed = page.find('#story-steps li[data-state=failed]')
        self.assertIn('expect key memory/pax/priority_biu_status = allow_install', failed.text)
        self.assertIn('seen:     memory/pax/priority_biu_status = "install_later"', failed.text)

    def test_update_played_by_hand_is_recorded_as_a_story_that_passes_on_a_fresh_set(self):
        page = self.page
        self.play(stepDelay='0.2')
        page.click(UPDATE_NOW)
        page.wait_story('record: installed Home version 2.0.0', 20)
        recorded = self.tv.tvctl('story', 'record').stdout
        self.assertIn('press $n1 2', recorded)
        self.assertIn('expect launch com.talvoro.tv.homeupdateview LaunchReason=LoadingUI',
                      recorded)
        path = os.path.join(self.tv.top, 'played.story')
        with open(path, 'w', encoding='utf-8') as story:
            story.write(recorded)
        env = {name: value for name, value in self.tv.env.items() if name != 'TV_DEVICE_ROOT'}
        replay = subprocess.run([TVCTL, 'story', 'run', path], env=env, capture_output=True,
                                text=True, timeout=120)
        self.assertEqual(replay.returncode, 0, replay.stdout + replay.stderr)
        self.assertIn('1 passed, 0 failed', replay.stdout)


class ScreenCommandTest(unittest.TestCase):
    """What `tvctl screen` says when it cannot serve."""

    def setUp(self):
        self.tv = Television()
        self.addCleanup(self.tv.close)

    def test_screen_refuses_bad_ports_taken_ports_and_missing_roots(self):
        taken = socket.socket()
        taken.bind(('127.0.0.1', 0))
        taken.listen()
        self.addCleanup(taken.close)
        port = str(taken.getsockname()[1])
        rows = [
            # name, arguments, root, exit status, what standard error says
            ('bad port', ['--port', '70000'], self.tv.root, 2, "bad port '70000'"),
            ('port not a number', ['--port', 'http'], self.tv.root, 2, "bad port 'http'"),
            ('bad address', ['--bind', 'localhost:1'], self.tv.root, 2, "bad address"),
            ('taken port', ['--port', port], self.tv.root, 1, 'Address already in use'),
            ('missing root', [], self.tv.root + '-missing', 1, 'no provisioned device root'),
        ]
        for name, arguments, root, status, error in rows:
            with self.subTest(name):
                env = dict(self.tv.env, TV_DEVICE_ROOT=root)
                result = subprocess.run([TVCTL, 'screen', *arguments], env=env, timeout=20,
                                        capture_output=True, text=True)
                self.assertEqual(result.returncode, status, result.stderr)
                self.assertIn(error, result.stderr)

    def test_screen_says_when_it_listens_beyond_loopback(self):
        url = self.tv.start_screen('--bind', '0.0.0.0')
        self.assertRegex(url, r'^http://0\.0\.0\.0:\d+/$')
        self.assertEqual(self.tv.stop_screen(), 0)
        self.assertIn('listening on 0.0.0.0, which is not a loopback address',
                      self.tv.screen_errors)


if __name__ == '__main__':
    unittest.main()
