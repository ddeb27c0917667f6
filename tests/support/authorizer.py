"""An authorizer for the tests: answers each check by the stream id's first word ("ok" 200,
"no" 403, "slow" 200 after 1.5 s, "err" 500; the r= key of a "#!::" id counts as the id) and
records each request as one JSON line {"header": Authorization, "body": request}.
Usage: authorizer.py PORT RECORD"""
import http.server
import json
import sys
import threading
import time


def main():
    port, record_path = int(sys.argv[1]), sys.argv[2]
    record_lock = threading.Lock()

    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def do_POST(self):
            body = json.loads(self.rfile.read(int(self.headers.get("Content-Length", "0"))))
            with record_lock, open(record_path, "a") as record:
                record.write(json.dumps({"header": self.headers.get("Authorization", ""),
                                         "body": body}) + "\n")
            name = body.get("keys", {}).get("r", body["stream_id"])
            word = name.split("-")[0]
            if word == "slow":
                time.sleep(1.5)
            status = {"ok": 200, "slow": 200, "no": 403}.get(word, 500)
            self.send_response(status)
            self.send_header("Content-Length", "0")
            self.end_headers()

        def log_message(self, *args):
            pass

    http.server.ThreadingHTTPServer.allow_reuse_address = True
    http.server.ThreadingHTTPServer.request_queue_size = 128
    server = http.server.ThreadingHTTPServer(("127.0.0.1", port), Handler)
    print("listening", flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
