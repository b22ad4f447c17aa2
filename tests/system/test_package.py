"""The Debian packages: what they hold and declare (lintian's word on them, the
udev rule read as udev would, one version throughout, the unit's documents),
what the maintainer scripts ask of a running systemd and udev, and an install
(its systemd unit checked by systemd-analyze), upgrade, removal and purge with
dpkg in a scratch root; the page client's npm tarball in a page's project."""

import fnmatch
import gzip
import json
import os
import re
import subprocess
import tarfile

import pytest

from sandbox import VERSION

APP = "opt/apps/corvane/quillet"
CONF = f"{APP}/conf/gunconf.xml"
UNIT = "lib/systemd/system/tavitty.service"
RULES = "lib/udev/rules.d/65-tavitty-scanners.rules"
DOC = "usr/share/doc/tavitty"
POLICY = f"{DOC}/examples/chromium-policy-example.json"
ALERTS = f"{DOC}/examples/tavitty-alerts.yml"
WANTS = "etc/systemd/system/multi-user.target.wants/tavitty.service"
HELPER = "var/lib/systemd/deb-systemd-helper-enabled"
WEB = "usr/share/tavitty/web"
TARBALL = f"{WEB}/tavitty-client-{VERSION}.tgz"
CLIENT = ("tavitty-client.mjs", "tavitty-client.d.ts")
MAN = ("usr/share/man/man8/Tavitty.8.gz", "usr/share/man/man5/gunconf.xml.5.gz",
       "usr/share/man/man8/make-tls-cert.8.gz")
# (field, packages that it names)
RELATIONS = [("Depends", {"libudev1", "libwebsockets17", "libtinyxml2.6.2v5",
                          "init-system-helpers",  # the maintainer scripts' systemd helpers
                          "procps"}),  # ps, which the single-instance guard runs
             ("Recommends", {"openssl"})]  # make-tls-cert runs it


def run(*argv, **kwargs):
    return subprocess.run(argv, capture_output=True, text=True, timeout=120, **kwargs)


@pytest.fixture(scope="module")
def debs(tmp_path_factory):
    """{architecture: (package, the tree it holds)}."""
    paths = [p for p in os.environ.get("TAVITTY_DEBS", "").split(";") if p]
    if not paths or not all(os.path.exists(p) for p in paths):
        pytest.skip("the packages are not built (CTest's package step builds them)")
    made = {}
    for deb in paths:
        root = tmp_path_factory.mktemp("deb")
        run("dpkg-deb", "-x", deb, str(root))
        made[run("dpkg-deb", "-f", deb, "Architecture").stdout.strip()] = deb, root
    return made


def test_each_package_holds_its_files_and_one_version_and_passes_lintian(debs):
    """The package, its changelog's latest entry and the page client's npm
    package are the release that CMakeLists.txt names; the unit's documents
    are in the package. Lintian's errors and warnings fail, but for the tags
    that the overrides give a reason for; and each override is still needed."""
    for deb, root in debs.values():
        files = {line.split()[-1]: line.split()[0]
                 for line in run("dpkg-deb", "-c", deb).stdout.splitlines()}
        assert files[f"./{APP}/Tavitty"] == files[f"./{APP}/make-tls-cert"] == "-rwxr-xr-x"
        web = {f"./{WEB}/{name}" for name in ("index.html", *CLIENT)} | {f"./{TARBALL}"}
        # (The copyright, the changelog and the overrides: lintian's.)
        assert {f"./{CONF}", f"./{UNIT}", f"./{RULES}", f"./{APP}/lib/ws/", f"./{POLICY}", f"./{ALERTS}",
                *web, *(f"./{page}" for page in MAN)} <= set(files)
        assert [f for f in files
                if not f.startswith(("./opt/", "./lib/", "./usr/share/doc/", "./usr/share/tavitty/",
                                     "./usr/share/lintian/", "./usr/share/man/"))
                and f not in ("./", "./usr/", "./usr/share/")] == []  # no active browser policy
        for field, names in RELATIONS:
            named = re.split(r"[,|]", run("dpkg-deb", "-f", deb, field).stdout)
            assert names <= {alternative.split()[0] for alternative in named if alternative.strip()}, field
        assert run("dpkg-deb", "-I", deb, "conffiles").stdout.split() == [f"/{CONF}"]
        with gzip.open(root / DOC / "changelog.gz", "rt") as changelog, \
                tarfile.open(root / TARBALL) as tarball:
            latest, client = changelog.readline(), json.load(tarball.extractfile("package/package.json"))
        assert (run("dpkg-deb", "-f", deb, "Version").stdout.strip(), latest.split()[:2],
                client["version"]) == (VERSION, ["tavitty", f"({VERSION})"], VERSION)
        pages = re.findall(r"man:(\S+)\((\d)\)", (root / UNIT).read_text())
        assert pages and {f"./usr/share/man/man{s}/{n}.{s}.gz" for n, s in pages} <= set(files)
        # So a binary that is not stripped fails, and so does any library
        # search path but the RUNPATH that the overrides name, or none at all.
        lint = run("lintian", "--fail-on", "error,warning", "--display-info", deb)
        assert lint.returncode == 0 and "unused-override" not in lint.stdout, lint.stdout


def udev_sets(rules, device):
    """The properties that the rules file sets for a device. It understands the
    file's own shape only (KEY{arg} with ==, != or =, alternatives split by |,
    GOTO and LABEL), and fails on a line that has anything else."""
    env, goto = dict(device), None
    for line in rules.splitlines():
        if not line or line.startswith("#"):
            continue
        pairs = re.findall(r'([A-Z_]+(?:\{\w+\})?)(==|!=|=)"([^"]*)"', line)
        assert ", ".join(f'{key}{op}"{value}"' for key, op, value in pairs) == line
        if goto:
            goto = None if pairs == [("LABEL", "=", goto)] else goto
            continue
        if all(any(fnmatch.fnmatchcase(env.get(key.removeprefix("ENV{").rstrip("}"), ""), alt)
                   for alt in value.split("|")) == (op == "==")
               for key, op, value in pairs if op != "="):
            for key, op, value in pairs:
                if key == "GOTO":
                    goto = value
                elif op == "=" and key.startswith("ENV{"):
                    env[key[4:-1]] = value
    assert goto is None, f"no LABEL {goto}"
    return {key: value for key, value in env.items() if device.get(key) != value}


# (subsystem, action, ID_VENDOR_ID, ID_MODEL_ID, ID_MODEL, ID_USB_DRIVER, ModemManager kept off)
RULE_CASES = [
    ("tty", "add", "1a86", "7523", "HALVERMONT", "ch341", True),
    ("tty", "add", "1a86", "7523", "TAVI", "ch341", True),
    ("tty", "add", "1a86", "7523", "Corvane_ZR4410", "ch341", True),
    ("tty", "change", "1a86", "7523", "ZR4420", "ch341", True),
    ("tty", "add", "067b", "2303", "Corvane_ZR4420", "pl2303", True),
    ("tty", "add", "0c2e", "0b6a", "Honeywell_Scanner", "cdc_acm", True),
    ("tty", "add", "05e0", "1900", "Symbol_Bar_Code_Scanner", "cdc_acm", True),
    ("tty", "add", "05f9", "4204", "Datalogic_Scanner", "cdc_acm", True),
    # A bare CH340 or PL2303, a maker's id on another driver, another bridge,
    # a scanner's USB device rather than its tty, and a removal: left alone.
    ("tty", "add", "1a86", "7523", "USB2.0-Serial", "ch341", False),
    ("tty", "add", "1a86", "7523", "TAVIX", "ch341", False),
    ("tty", "add", "067b", "2303", "USB-Serial_Controller", "pl2303", False),
    ("tty", "add", "0c2e", "0b6a", "Honeywell_Scanner", "ftdi_sio", False),
    ("tty", "add", "0403", "6001", "FT232R_USB_UART", "ftdi_sio", False),
    ("usb", "add", "1a86", "7523", "TAVI", "ch341", False),
    ("tty", "remove", "05e0", "1900", "Symbol_Bar_Code_Scanner", "cdc_acm", False),
]


def test_the_udev_rule_keeps_modemmanager_off_the_scanners_ttys_alone(debs):
    rules = (next(iter(debs.values()))[1] / RULES).read_text()
    got = {case: udev_sets(rules, dict(zip(("SUBSYSTEM", "ACTION", "ID_VENDOR_ID", "ID_MODEL_ID",
                                            "ID_MODEL", "ID_USB_DRIVER"), case[:6])))
           for case in RULE_CASES}
    assert got == {case: {"ID_MM_DEVICE_IGNORE": "1"} if case[6] else {} for case in RULE_CASES}


def stand_ins(directory, log, *tools):
    """Programs of those names that append their name and arguments to log,
    and fail."""
    directory.mkdir()
    log.write_text("")
    for tool in tools:
        (directory / tool).write_text(f'#!/bin/sh\necho "${{0##*/}} $*" >>"{log}"\nexit 1\n')
        (directory / tool).chmod(0o755)
    return dict(os.environ, PATH=f"{directory}:{os.environ['PATH']}")


TRIGGER = ["udevadm control --reload-rules", "udevadm trigger --subsystem-match=tty --action=change"]
RELOAD = "systemctl --system daemon-reload"
# (maintainer script, its arguments, what it asks of systemd and udev where they run)
SCRIPT_CASES = [
    ("postinst", "configure", [*TRIGGER, RELOAD, "deb-systemd-invoke start tavitty.service"]),
    # An upgrade: the old daemon runs on until the new one takes over, once.
    ("prerm", "upgrade 1.5.1", []),
    ("postinst", "configure 1.4.0", [*TRIGGER, RELOAD, "deb-systemd-invoke restart tavitty.service"]),
    ("prerm", "remove", ["deb-systemd-invoke stop tavitty.service"]),
    ("postrm", "remove", [RELOAD]),
]


def test_maintainer_scripts_on_a_running_system(debs, tmp_path):
    """Each script where systemd and udev run (a private /run says so), with
    stand-ins for their tools that fail every time: the scripts succeed
    regardless. The enablement is the scratch root's test."""
    native = debs[run("dpkg", "--print-architecture").stdout.strip()][0]
    run("dpkg-deb", "-e", native, str(tmp_path / "control"))
    log = tmp_path / "calls"
    env = stand_ins(tmp_path / "bin", log, "deb-systemd-helper", "deb-systemd-invoke", "systemctl", "udevadm")
    env["DPKG_MAINTSCRIPT_PACKAGE"] = "tavitty"
    got = []
    for script, arguments, _ in SCRIPT_CASES:
        log.write_text("")
        done = run("unshare", "-m", "--propagation", "private", "sh", "-c",
                   'mount -t tmpfs tmpfs /run && mkdir -p /run/systemd/system /run/udev && exec "$@"',
                   "sh", tmp_path / "control" / script, *arguments.split(), env=env)
        calls = [c for c in log.read_text().splitlines() if not c.startswith("deb-systemd-helper ")]
        got.append((script, arguments, done.returncode, calls))
    assert got == [(script, arguments, 0, calls) for script, arguments, calls in SCRIPT_CASES]


def test_install_upgrade_remove_and_purge_in_a_scratch_root(debs, tmp_path):
    """With DPKG_ROOT, Debian's systemd helper enables the service in that
    root, and nothing asks the machine's own systemd or udev anything."""
    deb = debs[run("dpkg", "--print-architecture").stdout.strip()][0]
    root = tmp_path / "root"
    (root / "var/lib/dpkg").mkdir(parents=True)
    (root / "var/lib/dpkg/status").touch()  # dpkg makes the rest of its database
    log = tmp_path / "calls"
    env = stand_ins(tmp_path / "bin", log, "deb-systemd-invoke", "systemctl", "udevadm")

    def dpkg(*args):
        done = run("dpkg", f"--root={root}", "--force-script-chrootless", "--force-depends",
                   "--force-confold", "--log=/dev/null", *args, env=env)
        assert done.returncode == 0, done.stderr
        return done.stdout + done.stderr

    def files(*under):
        return sorted(os.path.relpath(os.path.join(d, f), root)
                      for top in under for d, _, fs in os.walk(root / top) for f in fs)

    dpkg("-i", deb)
    assert os.readlink(root / WANTS) == f"/{UNIT}"  # enabled, and the helper's record of it:
    assert files("etc", "var/lib/systemd") == sorted([WANTS, f"{HELPER}/tavitty.service.dsh-also",
                                                      f"{HELPER}/multi-user.target.wants/tavitty.service"])
    # systemd-analyze checks that ExecStart exists: show it the installed /opt.
    # (It would look for the manual pages on this machine: the package's own
    # test looks for them in the package.)
    verify = run("unshare", "-m", "--propagation", "private", "sh", "-c",
                 f"mount --bind '{root}/opt' /opt && exec systemd-analyze verify --man=no '{root}/{UNIT}'")
    assert (verify.returncode, verify.stdout + verify.stderr) == (0, "")
    # The unit's exposure, as systemd rates it: 2.0 at most.
    exposure = run("systemd-analyze", "security", "--offline=yes", "--threshold=20", root / UNIT)
    assert exposure.returncode == 0, exposure.stdout[-300:]
    # An operator's configuration survives an upgrade (the same package again),
    # and what the new daemon would say of it is said.
    (root / CONF).write_text("<gunconf><WebsocketPort>9443</WebsocketPort>"
                             "<KeepScans>soon</KeepScans></gunconf>\n")
    said = dpkg("-i", deb)
    assert "9443" in (root / CONF).read_text() and os.path.lexists(root / WANTS)
    assert 'tavitty: KeepScans "soon" is not a number of seconds from 0 to 300' in said
    # What the helper makes in its directory (and the work directory of a run
    # that was killed) goes with a purge; an operator's own file there stays.
    tls = root / APP / "conf/tls"
    assert run(root / APP / "make-tls-cert", "--dir", tls).returncode == 0
    (tls / ".make-tls-cert.Xy12Zw").mkdir()
    (tls / ".make-tls-cert.Xy12Zw/ca-key.pem").write_text("a key")
    (tls / "shop-note.txt").write_text("the CA's key is in the safe\n")
    dpkg("--remove", "tavitty")
    assert not (root / f"{APP}/Tavitty").exists() and not (root / UNIT).exists()
    assert files("etc", "var/lib/systemd") == []  # disabled, and the helper's record gone
    assert (root / CONF).exists() and (tls / "ca-key.pem").exists()  # a removal keeps them
    # Installed again, it is enabled again; an upgrade keeps it disabled once
    # the administrator disabled it.
    dpkg("-i", deb)
    assert os.readlink(root / WANTS) == f"/{UNIT}"
    os.unlink(root / WANTS)  # systemctl disable
    dpkg("-i", deb)
    assert not os.path.lexists(root / WANTS)
    dpkg("--purge", "tavitty")
    assert files("opt", "etc", "var/lib/systemd") == [os.path.relpath(tls / "shop-note.txt", root)]
    assert log.read_text() == ""


def test_the_page_client_installs_offline_from_its_tarball(debs, tmp_path):
    """A page's npm project installs the tarball without the network, imports
    the client by its name, and gets the files that the package ships beside
    the tarball (not an older build of them)."""
    shipped = next(iter(debs.values()))[1]
    (tmp_path / "package.json").write_text('{"name": "till", "private": true}\n')
    # An empty cache of its own: nothing that an earlier install left behind.
    env = dict(os.environ, npm_config_cache=str(tmp_path / ".npm-cache"))
    done = run("npm", "install", "--offline", "--no-audit", "--no-fund",
               str(shipped / TARBALL), cwd=tmp_path, env=env)
    assert done.returncode == 0, done.stderr
    installed = tmp_path / "node_modules" / "tavitty-client"
    assert sorted(os.listdir(installed)) == sorted(["README.md", "package.json", *CLIENT])
    for name in CLIENT:
        assert (installed / name).read_bytes() == (shipped / WEB / name).read_bytes()
    done = run("node", "--input-type=module", "-e",
               "import { TavittyClient } from 'tavitty-client';"
               "console.log(new TavittyClient({ url: 'wss://till:9010/' }).url)", cwd=tmp_path)
    assert (done.returncode, done.stdout, done.stderr) == (0, "wss://till:9010/\n", "")
