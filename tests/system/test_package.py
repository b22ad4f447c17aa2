"""The install layout and the Debian package: what `cmake --install` lays out,
what the package holds, an install, upgrade, removal and purge with dpkg in a
scratch root, and the systemd unit checked by systemd-analyze."""

import os
import shutil
import subprocess

import pytest

APP = "opt/apps/corvane/quillet"
CONF = f"{APP}/conf/gunconf.xml"
UNIT = "lib/systemd/system/tavitty.service"
WANTS = "etc/systemd/system/multi-user.target.wants/tavitty.service"
FILES = {f"./{APP}/Tavitty", f"./{CONF}", f"./{UNIT}"}


def run(*argv, **kwargs):
    return subprocess.run(argv, capture_output=True, text=True, timeout=120, **kwargs)


@pytest.fixture(scope="module")
def debs():
    paths = [p for p in os.environ.get("TAVITTY_DEBS", "").split(";") if p]
    if not paths or not all(os.path.exists(p) for p in paths):
        pytest.skip("the packages are not built (CTest's package step builds them)")
    return paths


def field(deb, name):
    return run("dpkg-deb", "-f", deb, name).stdout.strip()


def test_each_package_holds_the_layout_its_architecture_and_a_conffile(debs):
    for deb in debs:
        listing = run("dpkg-deb", "-c", deb).stdout.splitlines()
        files = {line.split()[-1]: line.split()[0] for line in listing}
        assert FILES <= set(files), listing
        assert files[f"./{APP}/Tavitty"] == "-rwxr-xr-x"
        assert f"./{APP}/lib/ws/" in files
        assert not [f for f in files if not f.startswith(("./opt/", "./lib/")) and f != "./"]
        arch = field(deb, "Architecture")
        assert deb.endswith(f"_{arch}.deb")
        depends = field(deb, "Depends")
        for library in ("libc6", "libudev1", "libwebsockets17", "libcjson1", "libtinyxml2.6.2v5"):
            assert library in depends, depends
        assert run("dpkg-deb", "-I", deb, "conffiles").stdout.split() == [f"/{CONF}"]


def test_the_binary_is_stripped_and_runs_only_from_its_own_library_path(debs, tmp_path):
    for deb in debs:
        root = tmp_path / field(deb, "Architecture")
        assert run("dpkg-deb", "-x", deb, str(root)).returncode == 0
        binary = str(root / APP / "Tavitty")
        dynamic = run("readelf", "-d", binary).stdout
        assert "RUNPATH" in dynamic and "[/opt/apps/corvane/quillet/lib/ws]" in dynamic
        assert "RPATH" not in dynamic.replace("RUNPATH", "")
        assert ".debug_info" not in run("readelf", "-S", binary).stdout


def dpkg(root, *args):
    return run("dpkg", f"--root={root}", "--force-script-chrootless", "--force-depends",
               "--force-confold", "--log=/dev/null", *args)


def scratch_root(tmp_path):
    root = tmp_path / "root"
    (root / "var/lib/dpkg/info").mkdir(parents=True)
    (root / "var/lib/dpkg/updates").mkdir()
    (root / "var/lib/dpkg/status").touch()
    (root / "var/lib/dpkg/available").touch()
    return root


def test_install_upgrade_remove_and_purge_in_a_scratch_root(debs, tmp_path):
    native = [d for d in debs if field(d, "Architecture") == run(
        "dpkg", "--print-architecture").stdout.strip()][0]
    root = scratch_root(tmp_path)

    installed = dpkg(root, "-i", native)
    assert installed.returncode == 0, installed.stderr
    for path in (f"{APP}/Tavitty", CONF, UNIT):
        assert (root / path).exists(), path
    assert os.readlink(root / WANTS) == f"/{UNIT}"  # enabled

    # An operator's configuration survives an upgrade (the same package again).
    (root / CONF).write_text("<gunconf><WebsocketPort>9443</WebsocketPort></gunconf>\n")
    again = dpkg(root, "-i", native)
    assert again.returncode == 0, again.stderr
    assert "9443" in (root / CONF).read_text()

    removed = dpkg(root, "--remove", "tavitty")
    assert removed.returncode == 0, removed.stderr
    assert not (root / f"{APP}/Tavitty").exists() and not (root / UNIT).exists()
    assert not os.path.lexists(root / WANTS)  # disabled
    assert (root / CONF).exists()  # a removal keeps the configuration

    purged = dpkg(root, "--purge", "tavitty")
    assert purged.returncode == 0, purged.stderr
    left = [os.path.join(d, f) for d, _, fs in os.walk(root / "opt") for f in fs]
    assert left == []


def test_cmake_install_lays_out_the_tree_and_keeps_an_existing_configuration(tmp_path):
    build = os.environ.get("TAVITTY_BUILD_DIR")
    if not build:
        pytest.skip("TAVITTY_BUILD_DIR is not set")
    env = dict(os.environ, DESTDIR=str(tmp_path))
    first = run("cmake", "--install", build, env=env)
    assert first.returncode == 0, first.stderr
    assert os.access(tmp_path / APP / "Tavitty", os.X_OK)
    assert (tmp_path / APP / "lib/ws").is_dir()
    assert (tmp_path / UNIT).is_file()
    (tmp_path / CONF).write_text("mine\n")
    second = run("cmake", "--install", build, env=env)
    assert second.returncode == 0, second.stderr
    assert (tmp_path / CONF).read_text() == "mine\n"


def test_the_unit_verifies_cleanly_against_the_installed_daemon(tmp_path):
    build = os.environ.get("TAVITTY_BUILD_DIR")
    if not build or shutil.which("systemd-analyze") is None:
        pytest.skip("needs the build and systemd-analyze")
    env = dict(os.environ, DESTDIR=str(tmp_path))
    assert run("cmake", "--install", build, env=env).returncode == 0
    # systemd-analyze checks that ExecStart exists: show it the installed /opt.
    verify = run("unshare", "-m", "--propagation", "private", "sh", "-c",
                 f"mount --bind '{tmp_path}/opt' /opt && "
                 f"exec systemd-analyze verify '{tmp_path}/{UNIT}'")
    assert verify.returncode == 0, verify.stderr
    assert verify.stdout + verify.stderr == ""
