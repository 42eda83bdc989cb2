"""The process behind LocalHttpServer.h, which describes it: local_http_server.py FOLDER [NAMES]"""

import http.server
import json
import os
import ssl
import subprocess
import sys
import time

FOLDER = sys.argv[1]


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = 'HTTP/1.1'

    def do_GET(self):
        # The reply is chosen before the request is recorded: a test that sees the request may
        # set the next reply at once without changing this one.
        with open(os.path.join(FOLDER, 'reply.json')) as f:
            reply = json.load(f)
        record = {'line': self.requestline, 'headers': dict(self.headers)}
        with open(os.path.join(FOLDER, 'requests.jsonl'), 'a') as out:
            out.write(json.dumps(record) + '\n')
        time.sleep(reply['delayMs'] / 1000)
        body = reply['body'].encode()
        self.send_response(reply['status'], 'Reply')
        self.send_header('Content-Type', 'application/json')
        self.send_header('Content-Length', str(len(body)))
        self.send_header('Connection', 'close')
        self.end_headers()
        try:
            last = reply.get('lastByteDelayMs', 0)
            if last and body:
                self.wfile.write(body[:-1])
                self.wfile.flush()
                time.sleep(last / 1000)
                body = body[-1:]
            self.wfile.write(body)
        except OSError:
            pass  # the client gave up, as on an answer too large for it

    def log_message(self, *args):
        pass


server = http.server.ThreadingHTTPServer(('127.0.0.1', 0), Handler)
if len(sys.argv) > 2:
    cert, key = os.path.join(FOLDER, 'cert.pem'), os.path.join(FOLDER, 'key.pem')
    subprocess.run(['openssl', 'req', '-x509', '-newkey', 'ec', '-pkeyopt',
                    'ec_paramgen_curve:P-256', '-nodes', '-days', '1', '-subj', '/CN=brenwick test',
                    '-addext', 'subjectAltName=' + sys.argv[2], '-keyout', key, '-out', cert],
                   check=True, capture_output=True)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    server.socket = context.wrap_socket(server.socket, server_side=True)
with open(os.path.join(FOLDER, 'port.tmp'), 'w') as out:
    out.write(str(server.server_address[1]))
os.rename(os.path.join(FOLDER, 'port.tmp'), os.path.join(FOLDER, 'port'))
server.serve_forever()
