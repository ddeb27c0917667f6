"""A webhook receiver for the tests: records each POST it gets as one JSON line, with whether its
signature checks out, answering the status written in its answer file (200 when there is none).
Usage: webhook_receiver.py PORT RECORD_FILE ANSWER_FILE SECRET"""
import hashlib
import hmac
import http.server
import json
import os
import sys
import threading


def main():
    port, record_path, answer_path = int(sys.argv[1]), sys.argv[2], sys.argv[3]
    secret = sys.argv[4].encode()
    record_lock = threading.Lock()

    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def do_POST(self):
            body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
            status = 200
            if os.path.exists(answer_path):
                with open(answer_path) as answer:
                    status = int(answer.read().strip() or "200")
            # The check a receiver makes (docs/events.md).
            expected = "sha256=" + hmac.new(secret, body, hashlib.sha256).hexdigest()
            signature = self.headers.get("X-Mirevo-Signature", "")
            line = {"status": status, "body": body.decode("utf-8"),
                    "content_type": self.headers.get("Content-Type", ""),
                    "signature_ok": hmac.compare_digest(expected, signature)}
            with record_lock, open(record_path, "a") as record:
                record.write(json.dumps(line) + "\n")
            self.send_response(status)
            self.send_header("Content-Length", "0")
            self.end_headers()

        def log_message(self, *args):
            pass

    # Threads: the relay keeps its connection open between requests.
    http.server.ThreadingHTTPServer.allow_reuse_address = True
    server = http.server.ThreadingHTTPServer(("127.0.0.1", port), Handler)
    print("listening", flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
