#!/usr/bin/env python3
"""scripts/check on scratch trees: a tree that keeps the house rules passes (the control), and each
broken rule fails with the file, the rule and the fix; the limits at their edges; the handle rule
on the ways a raw close can be written, and on the places it does not look (comments, strings,
members, tests). Run by ctest as host.test_check (needs git and clang-format)."""
import pathlib
import shutil
import subprocess
import sys
import tempfile
import unittest

SOURCE = pathlib.Path(__file__).resolve().parents[2]

GOOD = """// A class of the scratch tree.
#include "handles.h"

int add(int a, int b) { return a + b; }
"""


def function_of(lines):
    body = ''.join(f'    total += {i};\n' for i in range(lines - 5))
    return f'int sum()\n{{\n    int total = 0;\n{body}    return total;\n}}\n'


def file_of(lines):
    return ''.join(f'// line {i}\n' for i in range(lines))


def closing(statement):
    return f'#include <windows.h>\n\nvoid drop(HANDLE h)\n{{\n    {statement}\n    h = nullptr;\n}}\n'


class Check(unittest.TestCase):
    def tree(self, files, cycles=None):
        root = pathlib.Path(tempfile.mkdtemp(prefix='cv-check-'))
        self.addCleanup(shutil.rmtree, root)
        for name in ('scripts/check', 'scripts/sizes', '.clang-format', 'src/core/handles.h'):
            (root / name).parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(SOURCE / name, root / name)
        for name, text in {'src/app/Good.cpp': GOOD, **files}.items():
            (root / name).parent.mkdir(parents=True, exist_ok=True)
            (root / name).write_text(text)
        if cycles is not None:
            (root / 'scripts/includecycles').write_text(f'#!/bin/sh\necho "src/core: a.h -> b.h -> a.h"\nexit {cycles}\n')
            (root / 'scripts/includecycles').chmod(0o755)
        subprocess.run(['git', 'init', '-q', str(root)], check=True)
        return root

    def run_check(self, files, cycles=None):
        root = self.tree(files, cycles)
        run = subprocess.run([sys.executable, str(root / 'scripts/check')], capture_output=True, text=True, timeout=120)
        return run.returncode, run.stdout + run.stderr

    def test_a_tree_that_keeps_the_rules_passes(self):
        code, out = self.run_check({'src/app/Edge.cpp': file_of(500), 'src/app/Long.cpp': function_of(60),
                                    'tests/unit/test_x.cpp': closing('::CloseHandle(h);')}, cycles=0)
        self.assertEqual(code, 0, out)
        self.assertIn('format, sizes, handles, cycles pass', out)

    def test_each_broken_rule_names_file_rule_and_fix(self):
        cases = [
            ('misformatted source', {'src/app/Bad.cpp': 'int  f( ) { return 1 ; }\n'},
             ['src/app/Bad.cpp:1: format:', 'fix: clang-format -i src/app/Bad.cpp']),
            ('misformatted test', {'tests/unit/test_bad.cpp': 'int f() {return 1;}\n'},
             ['tests/unit/test_bad.cpp:1: format:']),
            ('file of 501 lines', {'src/app/Edge.cpp': file_of(501)},
             ['src/app/Edge.cpp: sizes: 501 lines, more than 500', 'fix: split the file']),
            ('function of 61 lines', {'src/app/Long.cpp': function_of(61)},
             ['src/app/Long.cpp:1: sizes: sum has 61 lines, more than 60', 'fix: move steps']),
            ('raw CloseHandle', {'src/app/Raw.cpp': closing('::CloseHandle(h);')},
             ['src/app/Raw.cpp:5: handles: CloseHandle outside the owners', 'handles::Kernel']),
            ('raw close in the provider', {'provider/tsp.cpp': closing('CloseHandle(h);')},
             ['provider/tsp.cpp:5: handles: CloseHandle']),
            ('close as a deleter',
             {'src/app/Deleter.cpp': closing('std::unique_ptr<void, decltype(&::RegCloseKey)> k(nullptr, &RegCloseKey);')},
             ['src/app/Deleter.cpp:5: handles: RegCloseKey', 'handles::RegKey']),
            ('GDI object', {'src/ui/Paint.cpp': closing('::DeleteObject(h);')},
             ['handles::Bitmap or handles::Font or handles::Brush']),
            ('close without an owner', {'src/app/Store.cpp': closing('::CertCloseStore(h, 0);')},
             ['handles: CertCloseStore outside', 'add a traits struct']),
            ('include circle', {}, ['src/core: a.h -> b.h -> a.h', 'scripts/includecycles: cycles:']),
        ]
        for what, files, expected in cases:
            with self.subTest(what):
                code, out = self.run_check(files, cycles=1 if what == 'include circle' else None)
                self.assertEqual(code, 1, out)
                for text in expected:
                    self.assertIn(text, out)
                self.assertIn('check: 1 problem(s)', out)

    def test_the_handle_rule_ignores_comments_strings_and_members(self):
        code, out = self.run_check({'src/app/Quiet.cpp': closing(
            '// ::CloseHandle(h) is what the owner does\n    const char* t = "RegCloseKey";\n'
            '    window.FindClose();\n    other->DeleteObject(h);\n    Session::InternetCloseHandle(h);\n'
            '    FindCloseButton(t);')})
        self.assertEqual(code, 0, out)

    def test_owners_that_cannot_be_read_fail_the_rule(self):
        root = self.tree({})
        (root / 'src/core/handles.h').write_text('#pragma once\n')
        run = subprocess.run([sys.executable, str(root / 'scripts/check')], capture_output=True, text=True)
        self.assertEqual(run.returncode, 1, run.stdout)
        self.assertIn('handles: no owner with a close function found', run.stdout)


if __name__ == '__main__':
    unittest.main()
