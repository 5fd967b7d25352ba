#!/usr/bin/env python3
# signin_server.py: a fixed-answer issuer on 127.0.0.1 for bench/signin.sh. Every call gets
# the same well-formed answer at once, so the time of a CLI run is its own plus the network's.
# The token poll answers 403 (pending) or 200 (approved) as the mode file says.
import base64, json, sys
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

def b64(d):
    return base64.urlsafe_b64encode(json.dumps(d).encode()).rstrip(b"=").decode()

def jwt(p):
    return b64({"alg": "RS256"}) + "." + b64(p) + ".c2lnbmF0dXJl"

TOKENS = json.dumps({"id_token": jwt({"https://api.openai.com/auth": {"chatgpt_account_id": "acct-1"}}),
                     "access_token": jwt({"exp": 2000000000}), "refresh_token": "rt-bench"}).encode()
USERCODE = json.dumps({"device_auth_id": "dev-1", "user_code": "ABCD-EFGH", "interval": "5"}).encode()
GRANT = json.dumps({"authorization_code": "code", "code_challenge": "c", "code_verifier": "v"}).encode()
mode_file = sys.argv[1]

class H(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    def log_message(self, *a):
        pass
    def do_POST(self):
        self.rfile.read(int(self.headers.get("Content-Length", 0)))
        status, body = 200, b"{}"
        if self.path.endswith("/usercode"):
            body = USERCODE
        elif self.path.endswith("/deviceauth/token"):
            with open(mode_file) as f:
                approved = f.read().strip() == "approved"
            status, body = (200, GRANT) if approved else (403, b"{}")
        elif self.path == "/oauth/token":
            body = TOKENS
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

srv = ThreadingHTTPServer(("127.0.0.1", 0), H)
print(srv.server_address[1], flush=True)
srv.serve_forever()
