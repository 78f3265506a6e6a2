"""What the pytest suites of the program and of the module share, imported by
both conftest files."""

import os

# The version the build was configured with (project(VERSION)), set by ctest.
VERSION = os.environ.get("MORVANE_VERSION", "")
