"""vl-eval's folders stay layered: a file includes headers of its own folder
and of the folders below it, never of one above, and nothing below the
command includes the command's own headers. Headers of vl-eval are named
from tools/eval ("tasks/eval_item.h"), so that every include says which
folder it reaches into."""
import os
import re
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
CHECKOUT = os.path.dirname(os.path.dirname(HERE))
EVAL = os.path.join(CHECKOUT, "tools", "eval")
LIBRARY_HEADERS = os.path.join(CHECKOUT, "include")

# Bottom to top, as tools/eval/README.md describes them. The command itself
# (the files directly in tools/eval) is above them all.
LAYERS = ["console", "model", "tasks", "prompts", "results", "scoring", "perplexity", "kld"]
COMMAND = ""

INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"')


def layer_of(relative_path):
    folder = os.path.dirname(relative_path)
    return folder.split(os.sep)[0] if folder else COMMAND


def rank(layer):
    return len(LAYERS) if layer == COMMAND else LAYERS.index(layer)


def violations(root, library_headers):
    """(files read, what is wrong): every include of every source under root
    that names no header, or reaches into a folder above its own."""
    found, read = [], 0
    for folder, _, names in sorted(os.walk(root)):
        for name in sorted(names):
            if not name.endswith((".h", ".cpp")):
                continue
            path = os.path.join(folder, name)
            relative = os.path.relpath(path, root)
            own = layer_of(relative)
            if own != COMMAND and own not in LAYERS:
                found.append(f"{relative}: folder '{own}' is not among the layers {LAYERS}")
                continue
            read += 1
            with open(path, encoding="utf-8") as f:
                for number, line in enumerate(f, 1):
                    m = INCLUDE.match(line)
                    if m is None:
                        continue
                    header = m.group(1)
                    where = f"{relative}:{number}: #include \"{header}\""
                    if os.path.isfile(os.path.join(root, header)):
                        theirs = layer_of(header)
                        if theirs not in LAYERS and theirs != COMMAND:
                            found.append(f"{where}: folder '{theirs}' is not among the layers")
                        elif rank(theirs) > rank(own) or (theirs == COMMAND and own != COMMAND):
                            found.append(f"{where}: {own or 'the command'} must not reach up "
                                         f"into {theirs or 'the command'}")
                    elif not os.path.isfile(os.path.join(library_headers, header)):
                        found.append(f"{where}: names no header of tools/eval (name it from "
                                     "tools/eval, as \"tasks/eval_item.h\") nor of the library")
    return read, found


class Layering(unittest.TestCase):
    def test_every_include_reaches_down_or_sideways(self):
        read, found = violations(EVAL, LIBRARY_HEADERS)
        self.assertGreater(read, 40)  # the tree was found and read
        self.assertEqual(found, [])

    def test_the_check_sees_an_include_that_reaches_up(self):
        # A small tree with each kind of fault, so that the check above
        # cannot pass by seeing none.
        with tempfile.TemporaryDirectory() as root:
            files = {
                "evaluation.h": "",
                "tasks/item.h": "",
                "tasks/reader.cpp": '#include "tasks/item.h"\n#include "scoring/plan.h"\n',
                "scoring/plan.h": '#include "tasks/item.h"\n#include "evaluation.h"\n',
                "prompts/build.cpp": '#include "item.h"\n',
                "extras/x.h": "",
            }
            for name, text in files.items():
                os.makedirs(os.path.join(root, os.path.dirname(name)), exist_ok=True)
                with open(os.path.join(root, name), "w") as f:
                    f.write(text)
            _, found = violations(root, LIBRARY_HEADERS)
        self.assertEqual(len(found), 4, found)
        self.assertIn('tasks/reader.cpp:2: #include "scoring/plan.h": tasks must not reach up into '
                      'scoring', found)
        self.assertIn('scoring/plan.h:2: #include "evaluation.h": scoring must not reach up into '
                      'the command', found)
        self.assertTrue(any(f.startswith('prompts/build.cpp:1: #include "item.h": names no header')
                            for f in found), found)
        self.assertTrue(any(f.startswith("extras/x.h: folder 'extras'") for f in found), found)


if __name__ == "__main__":
    unittest.main()
