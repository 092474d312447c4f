#!/usr/bin/python3
"""The web console in real headless Chromium, against a real orvala-server
over a fresh demo database: sign in, page through SelectArticoli, edit a
description, apply, reload and see it; then a conflicting change from a
second client, whose error row is shown and reconciled both ways.

usage: console_test.py --server PATH --dbcreate PATH [--screenshots DIR]
"""
import argparse
import json
import os
import re
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.request

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support import expected_conditions as EC
from selenium.webdriver.support.ui import Select, WebDriverWait

SECRET = 'console-test-secret'
PATIENCE = 30  # seconds; reaching it is a failure
ARGS = None


class Server:
    """orvala-server --http on a free loopback port, over a fresh database."""

    def __init__(self, root):
        self.root = root
        env = dict(os.environ)
        env['ORVALA_REGISTRY_DIR'] = os.path.join(root, 'registry')
        env['ORVALA_RUNTIME_DIR'] = os.path.join(root, 'run')
        os.makedirs(env['ORVALA_REGISTRY_DIR'])
        os.makedirs(env['ORVALA_RUNTIME_DIR'], mode=0o700)
        database = os.path.join(root, 'orvala.fdb')
        subprocess.run([ARGS.dbcreate, database], check=True, env=env, stdout=subprocess.DEVNULL)
        subprocess.run([ARGS.server, '--set-location', database], check=True, env=env,
                       stdout=subprocess.DEVNULL)
        secret = os.path.join(root, 'secret')
        with open(secret, 'w') as f:
            f.write(SECRET + '\n')
        os.chmod(secret, 0o600)
        self.log = open(os.path.join(root, 'server.log'), 'w+')
        self.process = subprocess.Popen(
            [ARGS.server, '--headless', '--http', '127.0.0.1:0', '--secret-file', secret],
            env=env, stdout=self.log, stderr=subprocess.STDOUT)
        deadline = time.time() + PATIENCE
        self.port = None
        while self.port is None:
            self.log.seek(0)
            found = re.search(r'and HTTP port (\d+)', self.log.read())
            if found:
                self.port = int(found.group(1))
            elif time.time() > deadline or self.process.poll() is not None:
                self.log.seek(0)
                raise RuntimeError('orvala-server did not start: ' + self.log.read())
            else:
                time.sleep(0.05)
        self.url = 'http://127.0.0.1:%d' % self.port

    def api(self, method, path, body=None):
        request = urllib.request.Request(
            self.url + path, method=method,
            data=None if body is None else json.dumps(body).encode(),
            headers={'Authorization': 'Bearer ' + SECRET, 'Content-Type': 'application/json'})
        with urllib.request.urlopen(request, timeout=PATIENCE) as reply:
            text = reply.read()
            return json.loads(text) if text else None

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=PATIENCE)
        self.log.close()


class SecondClient:
    """Another program that changes the same rows over the API."""

    def __init__(self, server):
        self.server = server
        self.id = server.api('POST', '/v1/objects')['id']
        self.call('OpenDB')

    def call(self, method, args=None):
        return self.server.api('POST', '/v1/objects/%s/calls/%s' % (self.id, method), args)

    def description(self, code):
        # A provider of its own for each read: a fresh query sees the latest commit.
        self.reads = getattr(self, 'reads', 0) + 1
        name = 'Q%d' % self.reads
        self.call('AddProvider', [name, "select descrizione from articoli where codice = '%s'"
                                  % code])
        reply = self.call('AS_GetRecords', [name, -1])
        assert 'rows' in reply, reply
        return reply['rows'][0][0]

    def set_description(self, code, text):
        reply = self.call('ExecSQL', ["update articoli set descrizione = '%s' where codice = '%s'"
                                      % (text, code)])
        assert reply['status'] == '0x00000000', reply

    def release(self):
        self.server.api('DELETE', '/v1/objects/' + self.id)


def chromium(profile):
    options = webdriver.ChromeOptions()
    options.binary_location = '/usr/bin/chromium'
    for flag in ('--headless', '--no-sandbox', '--disable-gpu', '--disable-quic',
                 '--no-first-run', '--disable-background-networking',
                 '--disable-component-update', '--disable-sync', '--disable-dev-shm-usage',
                 '--user-data-dir=' + profile, '--window-size=1400,1000'):
        options.add_argument(flag)
    return webdriver.Chrome(service=Service('/usr/bin/chromedriver'), options=options)


class ConsoleTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.TemporaryDirectory(prefix='orvala-console-')
        cls.server = Server(cls.dir.name)
        cls.browser = chromium(os.path.join(cls.dir.name, 'profile'))
        cls.wait = WebDriverWait(cls.browser, PATIENCE)

    @classmethod
    def tearDownClass(cls):
        cls.browser.quit()
        cls.server.stop()
        cls.dir.cleanup()

    # ---- helpers

    def screenshot(self, name):
        if ARGS.screenshots:
            self.browser.save_screenshot(os.path.join(ARGS.screenshots, name))

    def cell(self, code, field):
        """The cell of `field` in the row whose first field is `code`."""
        return self.wait.until(EC.presence_of_element_located((
            By.XPATH, "//table[@id='grid']/tbody/tr[td[2][normalize-space()='%s']]"
                      "/td[@data-field='%s']" % (code, field))))

    def type_into(self, cell, text):
        cell.click()
        cell.send_keys(Keys.CONTROL, 'a')
        cell.send_keys(Keys.DELETE)
        cell.send_keys(text)
        # Leaving the cell records the edit.
        self.browser.find_element(By.ID, 'grid-title').click()

    def message(self, text):
        self.wait.until(EC.text_to_be_present_in_element((By.ID, 'grid-message'), text))

    def page_info(self, text):
        self.wait.until(EC.text_to_be_present_in_element((By.ID, 'page-info'), text))

    def click(self, element_id):
        self.browser.find_element(By.ID, element_id).click()

    # ---- the test, in the order a user works

    def test_console(self):
        b = self.browser
        b.get(self.server.url + '/')
        self.assertIn('Orvala', b.title)

        # A wrong password is refused with the reason.
        b.find_element(By.ID, 'secret').send_keys(SECRET)
        b.find_element(By.ID, 'password').send_keys('wrong')
        self.click('signin-button')
        self.wait.until(EC.text_to_be_present_in_element((By.ID, 'signin-message'), 'refused'))

        password = b.find_element(By.ID, 'password')
        password.clear()
        password.send_keys('demo')
        self.click('signin-button')
        self.wait.until(EC.visibility_of_element_located((By.ID, 'work')))

        # The provider list, filtered.
        self.wait.until(EC.presence_of_element_located(
            (By.CSS_SELECTOR, "#providers li[data-provider='SelectArticoli']")))
        b.find_element(By.ID, 'provider-filter').send_keys('articoli')
        names = [li.text for li in b.find_elements(By.CSS_SELECTOR, '#providers li')]
        self.assertIn('SelectArticoli', names)
        self.assertTrue(all('ARTICOLI' in n.upper() for n in names), names)

        # Page through SelectArticoli, ten rows a slice.
        b.find_element(By.CSS_SELECTOR, "#providers li[data-provider='SelectArticoli']").click()
        self.page_info('rows 1–10 of 10+')
        headers = [th.text for th in b.find_elements(By.CSS_SELECTOR, '#grid thead th')]
        self.assertEqual(headers[1:3], ['CODICE', 'DESCRIZIONE'])
        self.click('next-page')
        self.page_info('rows 11–20 of 20+')
        self.cell('ART015', 'DESCRIZIONE')
        self.click('next-page')
        self.page_info('rows 21–30 of 30+')
        self.click('next-page')
        self.page_info('of 30')  # the last slice came back short: no more rows
        self.click('prev-page')
        self.click('prev-page')
        self.click('prev-page')
        self.page_info('rows 1–10 of 30')

        # Edit a description, apply, reload and see it.
        self.type_into(self.cell('ART002', 'DESCRIZIONE'), 'EDITED IN THE BROWSER')
        self.screenshot('console-grid.png')
        self.click('apply')
        self.message('Applied')
        self.click('reload')
        self.page_info('rows 1–10')
        self.assertEqual(self.cell('ART002', 'DESCRIZIONE').text, 'EDITED IN THE BROWSER')
        second = SecondClient(self.server)
        self.assertEqual(second.description('ART002'), 'EDITED IN THE BROWSER')

        # A conflicting change from a second client: the error row is shown
        # with the server's message; taking the database's values ends it.
        second.set_description('ART003', 'CHANGED BY ANOTHER CLIENT')
        self.type_into(self.cell('ART003', 'DESCRIZIONE'), 'BROWSER VERSION')
        self.click('apply')
        self.message('1 row(s) not applied')
        error = b.find_element(By.CSS_SELECTOR, '#grid tr.error-row .error-message')
        self.assertRegex(error.text, '(?i)record|changed|found')
        self.screenshot('console-conflict.png')
        b.find_element(By.CSS_SELECTOR, '#grid tr.error-row button.take').click()
        self.message("The database's values were taken")
        self.assertEqual(self.cell('ART003', 'DESCRIZIONE').text, 'CHANGED BY ANOTHER CLIENT')
        self.assertEqual(b.find_elements(By.CSS_SELECTOR, '#grid tr.error-row'), [])

        # Again, and this time the browser's change is retried over the
        # database's values and wins.
        second.set_description('ART003', 'CHANGED AGAIN')
        self.type_into(self.cell('ART003', 'DESCRIZIONE'), 'BROWSER WINS')
        self.click('apply')
        self.message('1 row(s) not applied')
        b.find_element(By.CSS_SELECTOR, '#grid tr.error-row button.retry').click()
        self.message('Applied')
        self.assertEqual(second.description('ART003'), 'BROWSER WINS')
        second.release()

        # Any method from the form the type library gives.
        Select(b.find_element(By.ID, 'method')).select_by_visible_text('CanDo')
        b.find_element(By.CSS_SELECTOR, "#call-form input[name='ID_Utenti']").send_keys('1')
        b.find_element(By.CSS_SELECTOR, "#call-form input[name='ID_Funzioni']").send_keys('MENU')
        self.click('call-button')
        self.wait.until(EC.text_to_be_present_in_element((By.ID, 'call-answer'), '"CanDo"'))
        answer = json.loads(b.find_element(By.ID, 'call-answer').text)
        self.assertEqual(answer['result'], {'vt': 'I4', 'value': 1})

        # The status view.
        self.wait.until(EC.text_to_be_present_in_element((By.ID, 'status-objects'), 'HTTP 1'))
        self.wait.until(lambda d: d.find_element(By.ID, 'status-rate').text != '')
        self.assertIn('orvala.fdb', b.find_element(By.ID, 'status-location').text)
        self.screenshot('console-status.png')


if __name__ == '__main__':
    parser = argparse.ArgumentParser()
    parser.add_argument('--server', required=True)
    parser.add_argument('--dbcreate', required=True)
    parser.add_argument('--screenshots')
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest)
