#!/usr/bin/env python3
"""archive_includes_test - scripts/check-archive-includes finds every way the
archive's code can reach a system header, lets the shared folders pass, and
passes on the project itself."""
import pathlib
import subprocess
import sys
import tempfile
import unittest

PROJECT = pathlib.Path(__file__).resolve().parents[3]
CHECK = PROJECT / "scripts" / "check-archive-includes"

# (file under archive/, its text, whether the check must refuse it)
CASES = [
    ("system/A.cpp", '#include "VNService/Extensions/Taskweave/FragmentList/FragmentList.h"\n', True),
    ("pintool/b.cpp", '  #  include <LibService/ServiceAPI.h>\n', True),
    ("system/tests/c_test.cpp", '#include "REST APIs/HTTP Service/Listener.h"\n', True),
    ("mainsvc/D.h", '#include "providers/Framesight/Framesight.h"\n', True),
    ("ledgerhold/e.inl", '#include "trace/TraceLogger.h"\n', True),
    ("system/F.cpp", '#include "../../LibService/Status.h"\n', True),
    ("system/G.cpp", '#include "archive/interfaces/ArchiveInterfaces.h"\n#include "platform/pipe/ServiceAPI.h"\n', False),
    ("system/H.cpp", '/* #include "VNService/x.h"\n*/\n#include <vector>\n', False),
    ("system/I.cpp", '#include "platform/base/tracer.h"  // a name that merely starts like trace\n', False),
    ("system/README.md", '#include "VNService/x.h"\n', False),
]


def run(project):
    return subprocess.run([sys.executable, str(CHECK), str(project)], capture_output=True, text=True)


class ArchiveIncludes(unittest.TestCase):
    def test_cases(self):
        for name, text, refused in CASES:
            with self.subTest(name=name), tempfile.TemporaryDirectory() as root:
                path = pathlib.Path(root) / "archive" / name
                path.parent.mkdir(parents=True)
                path.write_text(text)
                result = run(root)
                self.assertEqual(result.returncode, 1 if refused else 0, result.stderr + result.stdout)
                if refused:
                    self.assertIn(f"archive/{name}:", result.stderr)

    def test_project_passes(self):
        result = run(PROJECT)
        self.assertEqual(result.returncode, 0, result.stderr)


if __name__ == "__main__":
    unittest.main()
