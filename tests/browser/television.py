"""A television for browser tests: a fresh device root, the service, `tvctl screen` serving its
page, and headless Chromium looking at it."""

import os
import shutil
import signal
import subprocess
import tempfile
import time

from selenium import webdriver
from selenium.common.exceptions import StaleElementReferenceException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(HERE))
TVCTL = os.environ.get('TVCTL_BIN', os.path.join(SOURCE, 'build/tools/tvctl/tvctl'))
BRENWICK = os.environ.get('BRENWICK_BIN', os.path.join(SOURCE, 'build/source/brenwick'))
SERVICE = 'com.talvoro.tv.brenwick'


def wait_for(condition, timeout=10.0, what='the condition'):
    """Checks `condition` until it returns something true; that value, or AssertionError."""
    deadline = time.monotonic() + timeout
    while True:
        try:
            value = condition()
            if value:
                return value
        except StaleElementReferenceException:
            pass  # the page redrew the element meanwhile
        if time.monotonic() > deadline:
            raise AssertionError('timed out after %.0f s waiting for %s' % (timeout, what))
        time.sleep(0.02)


class Television:
    """A factory-fresh device root under /tmp, with what runs on it."""

    def __init__(self):
        self.top = tempfile.mkdtemp(prefix='brenwick-screen-test-')
        self.root = os.path.join(self.top, 'root')
        self.env = dict(os.environ, TV_DEVICE_ROOT=self.root, TV_LOG_STDERR='0')
        self.service = None
        self.screen = None
        self.url = None
        self.tvctl('init')

    def tvctl(self, *args, check=True):
        result = subprocess.run([TVCTL, *args], env=self.env, capture_output=True, text=True,
                                timeout=60)
        if check and result.returncode != 0:
            raise AssertionError('tvctl %s: exit %d: %s' % (' '.join(args), result.returncode,
                                                            result.stderr.strip()))
        return result

    def path(self, relative):
        return os.path.join(self.root, relative)

    def read(self, relative):
        try:
            with open(self.path(relative), encoding='utf-8') as file:
                return file.read()
        except FileNotFoundError:
            return ''

    def start_service(self):
        self.service = subprocess.Popen([BRENWICK], env=self.env, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)
        wait_for(lambda: os.path.exists(self.path('run/%s.sock' % SERVICE)), 10,
                 'the service to start')

    def start_screen(self, *options):
        self.screen = subprocess.Popen([TVCTL, 'screen', *options], env=self.env,
                                       stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        line = self.screen.stdout.readline()
        if 'http://' not in line:
            raise AssertionError('tvctl screen did not start: %r %s' %
                                 (line, self.screen.stderr.read()))
        self.url = line[line.index('http://'):].split()[0]
        return self.url

    def stop_screen(self):
        """Interrupts the screen; its exit status. What it said on standard error is kept."""
        self.screen.send_signal(signal.SIGINT)
        status = self.screen.wait(timeout=20)
        self.screen_errors = self.screen.stderr.read()
        self.screen.stdout.close()
        self.screen.stderr.close()
        self.screen = None
        return status

    def close(self):
        if self.screen:
            self.screen.kill()
            self.screen.wait()
            self.screen.stdout.close()
            self.screen.stderr.close()
        if self.service and self.service.poll() is None:
            self.service.terminate()
            self.service.wait(timeout=20)
        shutil.rmtree(self.top, ignore_errors=True)


def chromium():
    options = webdriver.ChromeOptions()
    options.binary_location = '/usr/bin/chromium'
    for argument in ('--headless=new', '--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage',
                     '--window-size=1600,1000', '--hide-scrollbars'):
        options.add_argument(argument)
    return webdriver.Chrome(service=Service('/usr/bin/chromedriver'), options=options)


class Page:
    """The screen's page in the browser, read as a person would read it."""

    def __init__(self, driver, url):
        self.driver = driver
        self.driver.get(url)
        wait_for(lambda: self.text('#link') == 'live', 10, 'the page to go live')

    def find(self, selector):
        return self.driver.find_element(By.CSS_SELECTOR, selector)

    def all(self, selector):
        return self.driver.find_elements(By.CSS_SELECTOR, selector)

    def text(self, selector):
        found = self.all(selector)
        return found[0].text if found else ''

    def texts(self, selector):
        return [element.text for element in self.all(selector)]

    def wait_text(self, selector, expected, timeout=10):
        """Waits until `selector`'s text contains `expected`."""
        return wait_for(lambda: expected in self.text(selector), timeout,
                        '%r in %s (it shows %r)' % (expected, selector, self.text(selector)))

    def wait_shown(self, selector, timeout=10):
        return wait_for(lambda: [e for e in self.all(selector) if e.is_displayed()], timeout,
                        '%s to show' % selector)[0]

    def wait_gone(self, selector, timeout=10):
        wait_for(lambda: not [e for e in self.all(selector) if e.is_displayed()], timeout,
                 '%s to go' % selector)

    def story(self):
        return self.texts('#story li')

    def wait_story(self, expected, timeout=10):
        return wait_for(lambda: [line for line in self.story() if expected in line], timeout,
                        'the story to tell %r; it tells:\n  %s' %
                        (expected, '\n  '.join(self.story())))[0]

    def fill(self, form, **fields):
        for name, value in fields.items():
            field = self.find('%s [name=%s]' % (form, name))
            if field.tag_name == 'select':
                self.driver.execute_script('arguments[0].value = arguments[1]', field, value)
            else:
                field.clear()
                field.send_keys(value)

    def click(self, selector):
        self.wait_shown(selector).click()

    def message(self):
        return self.text('#message')
