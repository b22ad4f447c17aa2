"""The system tests' harness: the namespace runner of scripts/sandbox.py."""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))

from sandbox import *  # noqa: E402,F401,F403
from sandbox import BINARY, DEFAULT_TIMEOUT, Output, poll_until  # noqa: E402,F401
