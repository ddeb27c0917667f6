#!/usr/bin/env python3
"""The image and deploy/kubernetes under podman kube play: origin and two edges on ports of their
own, a stream through both edges, an edit that outlives --replace, /healthz, stop time, kube down.
  tests/container/test_kubernetes.py [mirevo-<version>.oci.tar]   (without one: make image)
podman keeps its settings and state in the test's folder. Exit 77: podman cannot run here."""
import base64, json, os, shutil, socket, subprocess, sys, tempfile, time
import urllib.error, urllib.request

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
KEY = base64.b16encode(os.urandom(16)).decode()
CHILDREN, failures = [], []


def check(what, ok, detail=""):
    print(("ok: " if ok else "FAIL: ") + what + ("" if ok else " " + str(detail)[:2000]))
    failures.extend([] if ok else [what])


def podman(*argv, must=True, **kwargs):
    done = subprocess.run(("podman",) + argv, capture_output=True, text=True, timeout=180, **kwargs)
    if must and done.returncode != 0:
        raise RuntimeError("podman %s: %s" % (" ".join(argv), done.stderr[-2000:]))
    return done.stdout


def http(port, path, method="GET", key=True):
    headers = {"Authorization": "Bearer " + KEY} if key else {}
    request = urllib.request.Request("http://127.0.0.1:%d%s" % (port, path), None, headers,
                                     method=method)
    try:
        with urllib.request.urlopen(request, timeout=5) as reply:
            return reply.status, reply.read().decode()
    except urllib.error.HTTPError as error:
        return error.code, error.read().decode()
    except OSError:
        return None, ""


def wait_for(condition, seconds):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.2)
    return True


def free_port(kind):
    with socket.socket(socket.AF_INET, kind) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def edit(text, replacements):  # as an operator's sed would; each text must be there
    for old, new in replacements:
        if old not in text:
            raise RuntimeError("the manifest no longer holds " + old)
        text = text.replace(old, new)
    return text


def main(work):
    if os.geteuid() != 0 or not all(shutil.which(t) for t in ("podman", "runc", "catatonit")):
        return "needs root, podman, runc and catatonit (podman makes its pause image from it)"
    # What podman 4.3.1 needs here: crun refuses the hybrid cgroups, setrlimit is not permitted.
    with open(work + "/containers.conf", "w") as conf:
        conf.write('[containers]\ndefault_ulimits = []\n[engine]\nruntime = "runc"\n'
                   'cgroup_manager = "cgroupfs"\nlock_type = "file"\nevents_logger = "file"\n'
                   'events_logfile_path = "{0}/events.log"\ntmp_dir = "{0}/tmp"\n'.format(work))
    with open(work + "/storage.conf", "w") as conf:
        conf.write('[storage]\ndriver = "overlay"\ngraphroot = "{0}/root"\n'
                   'runroot = "{0}/run"\n'.format(work))
    os.environ.update(CONTAINERS_CONF=work + "/containers.conf",
                      CONTAINERS_STORAGE_CONF=work + "/storage.conf")
    archive = sys.argv[1] if len(sys.argv) > 1 else None
    if archive is None:
        subprocess.run(["make", "-s", "-C", REPO, "image"], check=True, capture_output=True,
                       timeout=900)
        archive = max((e.path for e in os.scandir(REPO + "/build-image")), key=os.path.getmtime)
    podman("load", "-q", "-i", archive)
    image = "localhost/mirevo:" + archive.rsplit("mirevo-", 1)[1][: -len(".oci.tar")]
    try:
        podman("run", "--rm", "--network", "host", image, "-h")
    except RuntimeError as error:
        return "podman cannot start a container here: " + str(error)[-300:]

    config = json.loads(podman("image", "inspect", image))[0]
    check("the image runs as uid 10001", config["Config"]["User"] == "10001:10001")
    check("it takes %.1f MB, at most 40" % (config["Size"] / 1e6), config["Size"] <= 40e6)
    root = podman("image", "mount", image).strip()
    programs = sorted(os.path.relpath(os.path.join(folder, name), root)
                      for folder, _, names in os.walk(root) if "lib" not in folder
                      for name in names if os.access(os.path.join(folder, name), os.X_OK))
    check("its programs are the relay and tail: no shell",
          programs == ["usr/bin/mirevo", "usr/bin/tail"], programs)
    check("it holds CA certificates", os.path.isfile(root + "/etc/ssl/certs/ca-certificates.crt"))
    podman("image", "unmount", image)

    # podman 4.3.1 reads a secretKeyRef from a podman secret of JSON with base64 values.
    secret = json.dumps({"key": base64.b64encode(KEY.encode()).decode()})
    podman("secret", "create", "mirevo-api-key", "-", input=secret)
    tcp = {name: free_port(socket.SOCK_STREAM) for name in ("origin", "edge-1", "edge-2")}
    udp = {name: free_port(socket.SOCK_DGRAM) for name in ("publish", "edges", "edge-1", "edge-2")}
    source = lambda name: open(REPO + "/deploy/kubernetes/" + name).read()
    grace = int(source("origin.yaml").split("terminationGracePeriodSeconds: ")[1].split()[0])
    files = {"origin-state": source("origin-state.yaml"), "origin": edit(source("origin.yaml"), [
        ('"8080"', '"%d"' % tcp["origin"]), ("port: 8080", "port: %d" % tcp["origin"]),
        ("srt://:9000", "srt://:%d" % udp["publish"]),
        ("srt://:9001", "srt://:%d" % udp["edges"])])}
    for edge in ("edge-1", "edge-2"):
        files[edge + "-state"] = edit(source("edge-state.yaml"), [("edge-1", edge)])
        files[edge] = edit(source("edge.yaml"), [
            ("mirevo-edge-seed", "mirevo-%s-seed" % edge), ("mirevo-edge-1", "mirevo-" + edge),
            ('"8081"', '"%d"' % tcp[edge]), ("port: 8081", "port: %d" % tcp[edge]),
            ("192.0.2.10:9001", "127.0.0.1:%d" % udp["edges"]),
            ("srt://:9100", "srt://:%d" % udp[edge])])
    for name, text in files.items():
        with open("%s/%s.yaml" % (work, name), "w") as file:
            file.write(text)
        podman("kube", "play", "%s/%s.yaml" % (work, name))
        if name in tcp:
            check(name + " answers /healthz", wait_for(
                lambda: http(tcp[name], "/healthz", key=False) == (200, "ok"), 60))

    load = os.environ.get("MIREVO_LOAD", REPO + "/build/bench/mirevo-load")
    for edge in ("edge-1", "edge-2"):
        check(edge + " pulls from the origin", wait_for(
            lambda: http(tcp[edge], "/api/active_routes") == (200, "[100]"), 30))
        CHILDREN.append(subprocess.Popen([load, "sub", "--url", "srt://127.0.0.1:%d" % udp[edge],
                                          "--duration", "20", "--ready-file", work + "/" + edge],
                                         stdout=subprocess.PIPE))
        check("a subscriber at " + edge, wait_for(lambda: os.path.exists(work + "/" + edge), 20))
    sent = json.loads(subprocess.run(
        [load, "gen", "--url", "srt://127.0.0.1:%d" % udp["publish"], "--rate", "1000000",
         "--duration", "3"], capture_output=True, timeout=60).stdout)["sent"]
    for edge, subscriber in zip(("edge-1", "edge-2"), CHILDREN):
        got = json.loads(subscriber.communicate(timeout=60)[0])["subscribers"][0]["connections"][0]
        check("the subscriber at %s got all %d messages" % (edge, sent),
              sent > 100 and got["first_seq"] == 0 and got["last_seq"] == sent - 1 and
              got["received"] == sent and got["lost"] == 0, got)

    for method, path in (("GET", "/api/routes"), ("GET", "/api/logs"),
                         ("POST", "/api/routes/route")):
        check(path + " needs the key",
              http(tcp["origin"], path, method, key=False) == (555, "API key does not exist"))
    check("the log tail runs without a shell",
          "successfully initialized" in http(tcp["origin"], "/api/logs")[1])
    check("an edit on edge-1",
          http(tcp["edge-1"], "/api/routes/route", "POST") == (200, '{"route_id":101}'))
    podman("kube", "play", "--replace", work + "/edge-1.yaml")
    edited = (200, '{"100":{"enabled":1},"101":{"enabled":0}}')
    check("it outlives kube play --replace",
          wait_for(lambda: http(tcp["edge-1"], "/api/routes") == edited, 60))

    began = time.monotonic()
    podman("stop", "-t", str(grace), "mirevo-origin-pod-0-relay")
    took = time.monotonic() - began
    status = podman("inspect", "-f", "{{.State.ExitCode}}", "mirevo-origin-pod-0-relay").strip()
    check("the origin ends on SIGTERM (%s) in %.2f s, within its grace of %d s"
          % (status, took, grace), status == "15" and took < grace)
    for name in ("edge-2", "edge-1", "origin"):
        podman("kube", "down", "%s/%s.yaml" % (work, name))
    left = podman("ps", "-aq").split() + podman("pod", "ls", "-q").split()
    check("kube down leaves no pod and no container", left == [], left)
    # podman keeps named volumes, as a cluster keeps its claims: the route files, and the seeds.
    kept = sorted(podman("volume", "ls", "-q").split())
    check("and only the claims' and the seeds' volumes", kept == sorted(
        "mirevo-%s-%s" % (name, kind) for name in tcp for kind in ("seed", "state")), kept)


if __name__ == "__main__":
    folder = tempfile.mkdtemp(prefix="mirevo-kube-")
    try:
        reason = main(folder)
    finally:
        for child in CHILDREN:
            child.kill()
            child.wait()
        if os.environ.get("CONTAINERS_CONF") == folder + "/containers.conf":
            for argv in (("pod", "rm", "-af", "-t", "0"), ("volume", "prune", "-f"),
                         ("secret", "rm", "-a"), ("image", "unmount", "-a"), ("rmi", "-af")):
                podman(*argv, must=False)
        shutil.rmtree(folder, ignore_errors=True)
    if reason:
        print("SKIPPED: " + reason)
        sys.exit(77)
    print("%d checks failed" % len(failures) if failures else "all checks passed")
    sys.exit(1 if failures else 0)
