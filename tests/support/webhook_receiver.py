"""A webhook receiver for the tests: records each event of each POST as one JSON line, with the
status it answered (the one in its answer file, 200 when there is none) and whether the request
was well made: signed with the secret, JSON. Usage: webhook_receiver.py PORT RECORD ANSWER SECRET"""
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
            well_made = (hmac.compare_digest(expected, signature)
                         and self.headers.get("Content-Type") == "application/json")
            lines = [json.dumps({"status": status, "well_made": well_made, "event": event}) + "\n"
                     for event in json.loads(body)]
            with record_lock, open(record_path, "a") as record:
                record.writelines(lines)
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
