import os

import pytest

import harness


def pytest_collection_modifyitems(config, items):
    reason = None
    if os.geteuid() != 0:
        reason = "needs root for private namespaces"
    elif not os.access(harness.BINARY, os.X_OK):
        reason = "TAVITTY_BIN does not name the built daemon"
    if reason:
        for item in items:
            item.add_marker(pytest.mark.skip(reason=reason))


@pytest.fixture
def namespace():
    """Makes namespaces for the test and tears every one of them down after it."""
    made = []

    def make(conf=None):
        ns = harness.Namespace(conf)
        made.append(ns)
        return ns

    yield make
    reports = []
    for ns in made:
        ns.close()
        reports += ns.sanitizer_reports()
    assert not reports, "sanitizer reports:\n" + "\n\n".join(reports)


@pytest.fixture
def scanners():
    """Virtual scanners on a umockdev testbed of the test's own (the suite runs
    under umockdev-wrapper)."""
    from virtual_scanner import VirtualScanners

    made = VirtualScanners()
    yield made
    made.close()
