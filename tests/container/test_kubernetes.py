#!/usr/bin/env python3
"""The image and the manifests of deploy/kubernetes under podman: the image's user, size and
contents; podman kube play of the origin and two edges, each on ports of its own (hostNetwork);
a stream from the origin through both edges to their subscribers; an API edit on an edge that
outlives kube play --replace; /healthz without a key; the stop time; kube down.

  tests/container/test_kubernetes.py [mirevo-<version>.oci.tar]   without one: make image first

podman works in a folder of the test's own (settings, storage, locks, events): the machine's
podman settings and images are never touched. Exit 77 (skipped) where podman cannot start a
container here. MIREVO_LOAD names the load tool (the CMake test sets it).
"""
import base64, json, os, shutil, socket, subprocess, sys, tarfile, tempfile, time
import urllib.error, urllib.request

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
KEY = "kube-test-key-" + base64.b16encode(os.urandom(12)).decode().lower()
failures = []


def skip(reason):
    print("SKIPPED: " + reason)
    sys.exit(77)


def check(what, ok, detail=""):
    print(("ok: " if ok else "FAIL: ") + what + ("" if ok else " " + str(detail)[:2000]))
    if not ok:
        failures.append(what)


def run(*argv, timeout=120, check_status=True, **kwargs):
    result = subprocess.run(argv, capture_output=True, text=True, timeout=timeout, **kwargs)
    if check_status and result.returncode != 0:
        raise RuntimeError(" ".join(argv) + " failed: " + result.stderr[-2000:])
    return result


def podman(*argv, **kwargs):
    return run("podman", *argv, **kwargs)


def free_port(kind):
    with socket.socket(socket.AF_INET, kind) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def http(port, path, method="GET", key=None):
    target = "http://127.0.0.1:%d%s" % (port, path)
    if key is not None:
        target += ("&" if "?" in path else "?") + "api_key=" + key
    try:
        with urllib.request.urlopen(urllib.request.Request(target, method=method), timeout=5) as r:
            return r.status, r.read().decode()
    except urllib.error.HTTPError as error:
        return error.code, error.read().decode()
    except OSError:
        return None, ""


def wait_for(condition, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.2)
    return condition()


def private_podman(work):
    """Settings of these machines' podman 4.3.1 (runc, cgroupfs, no ulimits: crun refuses the
    hybrid cgroups, setrlimit is not permitted), all state in work."""
    with open(work + "/containers.conf", "w") as conf:
        conf.write('[containers]\ndefault_ulimits = []\n[engine]\nruntime = "runc"\n'
                   'cgroup_manager = "cgroupfs"\nlock_type = "file"\nevents_logger = "file"\n'
                   'events_logfile_path = "%s/events.log"\ntmp_dir = "%s/tmp"\n' % (work, work))
    with open(work + "/storage.conf", "w") as conf:
        conf.write('[storage]\ndriver = "overlay"\ngraphroot = "%s/storage"\n'
                   'runroot = "%s/run"\n' % (work, work))
    os.environ["CONTAINERS_CONF"] = work + "/containers.conf"
    os.environ["CONTAINERS_STORAGE_CONF"] = work + "/storage.conf"


def layer_members(archive):
    """Name -> (uid, mode, is file) of the single layer in an OCI archive."""
    with tarfile.open(archive) as outer:
        blob = lambda digest: outer.extractfile("blobs/sha256/" + digest.split(":")[1])
        manifest = json.load(blob(json.load(outer.extractfile("index.json"))["manifests"][0]["digest"]))
        layers = manifest["layers"]
        with tarfile.open(fileobj=blob(layers[0]["digest"]), mode="r:*") as layer:
            members = {m.name.lstrip("./"): (m.uid, m.mode, m.isfile()) for m in layer}
    return len(layers), members


# The settings an operator changes, changed as sed would; each must be there.
def edit(text, replacements):
    for old, new in replacements:
        if old not in text:
            raise RuntimeError("the manifest no longer holds " + old)
        text = text.replace(old, new)
    return text


def main():
    if os.geteuid() != 0:
        skip("podman needs root here (rootless podman needs subordinate ids)")
    for tool in ("podman", "runc", "catatonit"):
        if shutil.which(tool) is None:
            skip(tool + " is missing (podman builds its pod's pause image from catatonit)")
    load = os.environ.get("MIREVO_LOAD", REPO + "/build/bench/mirevo-load")
    if not os.access(load, os.X_OK):
        skip("the load tool is missing: " + load)
    work = tempfile.mkdtemp(prefix="mirevo-kube-")
    private_podman(work)
    children, played = [], []
    try:
        archive = sys.argv[1] if len(sys.argv) > 1 else None
        if archive is None:
            run("make", "-s", "-C", REPO, "image", timeout=900)
            version = run("dpkg-parsechangelog", "-l", REPO + "/debian/changelog", "-S", "Version").stdout.strip()
            archive = "%s/build-image/mirevo-%s.oci.tar" % (REPO, version)
        else:
            podman("load", "-q", "-i", archive)
            version = archive.rsplit("mirevo-", 1)[1][: -len(".oci.tar")]
        image = "localhost/mirevo:" + version
        started = podman("run", "--rm", "--network", "host", "--entrypoint", "/usr/bin/tail",
                         image, "-n", "1", "/etc/passwd", check_status=False)
        if started.returncode != 0:
            skip("podman cannot start a container here: " + started.stderr.strip()[-300:])

        config = json.loads(podman("image", "inspect", image).stdout)[0]
        check("the image runs as uid 10001", config["Config"]["User"] == "10001:10001", config["Config"]["User"])
        check("the image takes at most 40 MB (%.1f MB)" % (config["Size"] / 1e6), config["Size"] <= 40e6)
        volumes = sorted(config["Config"].get("Volumes", {}))
        check("state and log folders are volumes", volumes == ["/var/lib/mirevo", "/var/log/mirevo"], volumes)
        layers, members = layer_members(archive)
        programs = sorted(n for n, (_, mode, is_file) in members.items()
                          if is_file and mode & 0o111 and "/lib" not in "/" + n)
        check("one layer whose programs are the relay and tail alone",
              layers == 1 and programs == ["usr/bin/mirevo", "usr/bin/tail"], programs)
        check("no shell", not {"bin/sh", "usr/bin/sh", "bin/bash", "bin/dash"} & set(members))
        check("the volume folders are the relay's", all(
            members.get(d, (0,))[0] == 10001 for d in ("var/lib/mirevo", "var/log/mirevo")))
        check("CA certificates", members.get("etc/ssl/certs/ca-certificates.crt", (0, 0, False))[2])

        # podman 4.3.1 reads a secretKeyRef from a podman secret holding JSON of base64 values.
        podman("secret", "create", "mirevo-api-key", "-",
               input=json.dumps({"key": base64.b64encode(KEY.encode()).decode()}))
        ports = {name: free_port(socket.SOCK_STREAM) for name in ("origin", "edge-1", "edge-2")}
        udp = {name: free_port(socket.SOCK_DGRAM) for name in ("publish", "edges", "edge-1", "edge-2")}
        manifest = lambda name: open(REPO + "/deploy/kubernetes/" + name).read()
        grace = int(manifest("origin.yaml").split("terminationGracePeriodSeconds: ")[1].split()[0])
        files = {"origin-state": manifest("origin-state.yaml"), "origin": edit(manifest("origin.yaml"), [
            ('"8080"', '"%d"' % ports["origin"]), ("port: 8080", "port: %d" % ports["origin"]),
            ("srt://:9000", "srt://:%d" % udp["publish"]), ("srt://:9001", "srt://:%d" % udp["edges"])])}
        for name in ("edge-1", "edge-2"):
            files[name + "-state"] = manifest("edge-state.yaml").replace("mirevo-edge-1", "mirevo-" + name)
            files[name] = edit(manifest("edge.yaml"), [
                ("mirevo-edge-seed", "mirevo-%s-seed" % name), ("mirevo-edge-1", "mirevo-" + name),
                ('"8081"', '"%d"' % ports[name]), ("port: 8081", "port: %d" % ports[name]),
                ("192.0.2.10:9001", "127.0.0.1:%d" % udp["edges"]),
                ("srt://:9100", "srt://:%d" % udp[name])])
        for name, text in files.items():
            with open("%s/%s.yaml" % (work, name), "w") as file:
                file.write(text)
            podman("kube", "play", "%s/%s.yaml" % (work, name), timeout=180)
            if name in ports:
                played.append(name)
                check(name + " answers /healthz",
                      wait_for(lambda: http(ports[name], "/healthz") == (200, "ok"), 60))

        for name in ("edge-1", "edge-2"):
            check(name + " pulls from the origin", wait_for(
                lambda: http(ports[name], "/api/active_routes", key=KEY) == (200, "[100]"), 30))
            ready = "%s/%s.ready" % (work, name)
            children.append(subprocess.Popen(
                [load, "sub", "--url", "srt://127.0.0.1:%d" % udp[name], "--duration", "20",
                 "--ready-file", ready], stdout=subprocess.PIPE, text=True))
            check("a subscriber at " + name, wait_for(lambda: os.path.exists(ready), 20))
        generator = run(load, "gen", "--url", "srt://127.0.0.1:%d" % udp["publish"],
                        "--rate", "1000000", "--duration", "3", timeout=60)
        sent = json.loads(generator.stdout)["sent"]
        for name, child in zip(("edge-1", "edge-2"), children):
            report = json.loads(child.communicate(timeout=60)[0])["subscribers"][0]["connections"][0]
            check("the subscriber at %s got all %d messages in order" % (name, sent),
                  sent > 100 and report["first_seq"] == 0 and report["last_seq"] == sent - 1 and
                  report["received"] == sent and report["lost"] == 0, report)

        check("/healthz needs no key and tells nothing else",
              http(ports["origin"], "/healthz") == (200, "ok"))
        for method, path in (("GET", "/api/routes"), ("GET", "/api/all_info"), ("GET", "/api/logs"),
                             ("GET", "/api/metrics"), ("POST", "/api/routes/route")):
            check(method + " " + path + " needs the key",
                  http(ports["origin"], path, method) == (555, "API key does not exist"))
        check("the log tail works without a shell",
              "Server was successfully initialized" in http(ports["origin"], "/api/logs", key=KEY)[1])

        check("an API edit on edge-1", http(ports["edge-1"], "/api/routes/route", "POST", KEY)
              == (200, '{"route_id":101}'))
        podman("kube", "play", "--replace", work + "/edge-1.yaml", timeout=180)
        check("the edit outlives kube play --replace", wait_for(
            lambda: http(ports["edge-1"], "/api/routes", key=KEY)
            == (200, '{"100":{"enabled":1},"101":{"enabled":0}}'), 60))

        relay = "mirevo-origin-pod-0-relay"
        began = time.monotonic()
        podman("stop", "-t", str(grace), relay, timeout=60)
        took = time.monotonic() - began
        status = podman("inspect", "-f", "{{.State.ExitCode}}", relay).stdout.strip()
        check("the origin stops on SIGTERM with status 15 in %.2f s, within the grace of %d s"
              % (took, grace), status == "15" and took < grace, status)

        for name in reversed(played):
            podman("kube", "down", "%s/%s.yaml" % (work, name), timeout=120)
        played.clear()
        left = podman("ps", "-a", "-q").stdout.split() + podman("pod", "ls", "-q").stdout.split()
        check("kube down leaves no pod and no container", left == [], left)
        # podman keeps named volumes, as a cluster keeps a claim's: the routes and the seeds.
        kept = sorted(podman("volume", "ls", "-q").stdout.split())
        check("kube down keeps only the claims' and the seeds' volumes", kept == sorted(
            "mirevo-%s-%s" % (n, k) for n in ("origin", "edge-1", "edge-2") for k in ("state", "seed")),
            kept)
    finally:
        for child in children:
            child.kill()
            child.wait()
        for name in played:
            podman("kube", "down", "%s/%s.yaml" % (work, name), check_status=False)
        podman("rm", "-a", "-f", "-t", "0", check_status=False)
        podman("pod", "rm", "-a", "-f", check_status=False)
        podman("volume", "prune", "-f", check_status=False)
        podman("secret", "rm", "-a", check_status=False)
        podman("rmi", "-a", "-f", check_status=False)
        shutil.rmtree(work, ignore_errors=True)
    if failures:
        print("%d checks failed" % len(failures))
        sys.exit(1)
    print("all checks passed")


if __name__ == "__main__":
    main()
