"""The URDF reader, KinBody.from_urdf, on hostile text.

Input: a first byte choosing the form, then the rest.  Forms 0 and 1 take
the rest as the document itself, as bytes or as str (UTF-8 with lone
surrogates kept, Latin-1 where that fails), so that the fuzzer mutates
real models (the seeds); forms 2 and 3 build a model from it: an XML
declaration with any encoding, a document type declaration with entity
tricks (billion laughs, external and parameter entities), links and joints
with odd names and numbers ("1e999", "nan", hex, empty, too many),
unknown, floating, planar and mimic joints, loops, branches, missing and
duplicated links, deep nesting, and base and tip links to ask for.

Expected: a KinBody or kovi.URDFError, nothing else; no file opened, no
module imported and no connection made while reading text; at most a
second of processor time; and in an accepted body, finite 4x4 transforms
with a rotation block and the bottom row [0, 0, 0, 1], unit axes, known
joint kinds, finite ordered limits and distinct joint names.  The same
text read as a kovi.Robot: a Robot or kovi.URDFError under the same
watch; an accepted robot has a frame per link, poses with the bottom row
[0, 0, 0, 1] at its neutral configuration, and, where the body was
accepted too, the same joints on the robot's path between its links.
"""

import math
import sys
import time
import warnings

import atheris
import numpy as np

import harness
import kovi._kinbody
import kovi._robot
import kovi._urdf
from kovi import KinBody, Robot, URDFError

SECONDS_PER_INPUT = 1.0
# What reading a URDF text must never do: touch files, import (which reads
# files), start processes or reach the network.
FORBIDDEN_EVENTS = ("open", "import", "os.listdir", "os.scandir", "os.system", "os.exec",
                    "os.posix_spawn", "os.spawn", "subprocess.Popen", "urllib.Request",
                    "ftplib.connect", "http.client.connect", "ctypes.dlopen")
watch = {"on": False, "events": []}


def audit(event, args):
    if watch["on"] and (event in FORBIDDEN_EVENTS or event.startswith("socket.")):
        watch["events"].append((event, args))


sys.addaudithook(audit)

NAMES = ("base", "a", "b", "c", "d", "tip", "world", "a ", "", "\u00e4\u00df", "x" * 3000,
         "&amp;", "&#x41;", "&undefined;", "'", "<", "]]>")
JOINT_TYPES = ("revolute", "continuous", "prismatic", "fixed", "revolute", "prismatic", "fixed",
               "floating", "planar", "Revolute", "spherical", "", " revolute", None)
NUMBERS = ("0", "1", "-1", "0.5", "1e999", "-1e999", "nan", "-nan", "inf", "Infinity", "0x10",
           "0x1p3", "", "1e-400", "5e-324", "-5e-324", "1e308", "-1.7976931348623157e308",
           "1_0", "\u0661", "\uff11", "1,2", "1.2.3", "+.5", "-0", "1e", "e1", ".",
           "3.141592653589793", "1.5707963267948966", "1e22", "4e-320", "9" * 400)
SEPARATORS = (" ", "  ", "\t", "\n", "\u00a0", "\u2003", ",")
ENCODINGS = ("UTF-8", "utf-8", "ISO-8859-1", "US-ASCII", "UTF-16", "latin-1", "cp1252",
             "koi8-r", "utf-32", "utf-7", "rot13", "idna", "undefined", "nonexistent", "mbcs",
             "punycode", "x" * 300)
DOCTYPES = (
    "<!DOCTYPE robot>",
    '<!DOCTYPE robot SYSTEM "file:///etc/passwd">',
    '<!DOCTYPE robot PUBLIC "-//x//EN" "http://127.0.0.1:9/robot.dtd">',
    '<!DOCTYPE robot [<!ENTITY z "0 0 1">]>',
    '<!DOCTYPE robot [<!ENTITY f SYSTEM "file:///etc/hostname">]>',
    '<!DOCTYPE robot [<!ENTITY % p SYSTEM "http://127.0.0.1:9/p.dtd"> %p;]>',
    "<!DOCTYPE robot [" + "".join(
        f'<!ENTITY l{i} "{("&l%d;" % (i - 1)) * 10 if i else "lol"}">' for i in range(10)) + "]>",
)
ATTRIBUTE_TEXT = {"z": "&z;", "f": "&f;", "laughs": "&l9;"}


class Builder:
    """A URDF text made from the input bytes.  Half the models are
    well-formed chains of plausible numbers, a quarter have odd names,
    numbers and structure in well-formed XML, a quarter anything."""

    def __init__(self, data):
        self.fdp = atheris.FuzzedDataProvider(data)
        self.level = (0, 0, 1, 2)[self.pick(4)]

    def pick(self, count):
        return self.fdp.ConsumeIntInRange(0, count - 1)

    def choose(self, options):
        return options[self.pick(len(options))]

    def odd(self, one_in, level=1):
        """True, one time in `one_in`, in models of at least that level
        (and never once the input is used up, which reads as zeros)."""
        return self.pick(one_in) == one_in - 1 and self.level >= level

    def name(self):
        return self.choose(NAMES) if self.odd(4) else self.choose(NAMES[:6])

    def numbers(self, count):
        """Text of `count` numbers, in odd models sometimes of another
        count or with odd separators."""
        if self.odd(6):
            count += self.choose((-1, 1, 2))
        words = []
        for _ in range(max(count, 0)):
            if self.odd(3):
                words.append(self.choose(NUMBERS))
            elif self.odd(4):
                words.append(repr(self.fdp.ConsumeFloat()))
            else:
                words.append(repr(self.fdp.ConsumeFloatInRange(-4.0, 4.0)))
        return (self.choose(SEPARATORS) if self.odd(4) else " ").join(words)

    def attribute(self, name, value):
        if value is None or self.odd(20):
            return ""
        return f' {name}="{value if self.odd(10, level=2) else escape(value)}"'

    def joint(self, name, parent, child):
        kind = self.choose(JOINT_TYPES) if self.odd(3) else self.choose(JOINT_TYPES[:7])
        parts = [f"<joint{self.attribute('name', name)}{self.attribute('type', kind)}>"]
        for role, link in (("parent", parent), ("child", child)):
            if not self.odd(12):
                parts.append(f"<{role}{self.attribute('link', link)}/>")
        if self.pick(3):
            xyz = self.attribute("xyz", self.numbers(3)) if self.pick(4) else ""
            rpy = self.attribute("rpy", self.numbers(3)) if self.pick(3) else ""
            parts.append(f"<origin{xyz}{rpy}/>")
        if self.pick(3):
            parts.append(f"<axis{self.attribute('xyz', self.numbers(3))}/>")
        if self.pick(3):
            lower = self.attribute("lower", self.numbers(1)) if self.pick(4) else ""
            upper = self.attribute("upper", self.numbers(1)) if self.pick(4) else ""
            parts.append(f"<limit{lower}{upper} effort='1' velocity='1'/>")
        if self.odd(10):
            parts.append(f"<mimic joint='{escape(self.name())}' multiplier='2'/>")
        if self.odd(10):  # a second origin, axis or child
            parts.append(parts[1 + self.pick(len(parts) - 1)] if len(parts) > 1 else "<origin/>")
        parts.append("</joint>")
        return "".join(parts)

    def tree(self):
        """Links and joints: a chain, a tree with a branch, or (in odd
        models) any links joined any way."""
        count = 1 + self.pick(8)
        links = [f"l{i}" for i in range(count)]
        if self.odd(2):
            links = [self.name() if self.odd(2) else link for link in links]
            pairs = [(self.choose(links + [self.name()]), self.choose(links + [self.name()]))
                     for _ in range(self.pick(10))]
        else:
            # each link below the one before it, or now and then below the
            # one before that: a branch
            pairs = [(links[i - 1 - (i > 1 and self.pick(6) == 5)], links[i])
                     for i in range(1, count)]
        joints = [(self.name() if self.odd(3) else f"j{i}", parent, child)
                  for i, (parent, child) in enumerate(pairs)]
        return links, joints

    def nested(self, text):
        """The text inside elements of other names, up to thousands deep."""
        depth = (1, 2, 30, 3000)[self.pick(4)]
        tag = self.choose(("link", "joint", "x", "robot"))
        return f"<{tag}>" * depth + text + f"</{tag}>" * depth

    def document(self):
        parts = []
        if self.pick(2):
            encodings = ENCODINGS if self.odd(2) else ENCODINGS[:2]
            encoding = self.attribute("encoding", self.choose(encodings)) if self.pick(2) else ""
            parts.append(f'<?xml version="1.0"{encoding}?>\n')
        if self.odd(6):
            parts.append(self.choose(DOCTYPES) + "\n")
        links, joints = self.tree()
        body = [f"<link{self.attribute('name', name)}/>" for name in links]
        body += [self.joint(*joint) for joint in joints]
        if self.pick(2):
            body.reverse()  # joints before links
        if self.odd(8):
            body.append(f"<transmission><joint name='{escape(self.name())}'/></transmission>")
        if self.odd(10):
            body.append("<!-- a comment --><?pi data?><![CDATA[<joint>]]>")
        if self.odd(10, level=2):
            body.append(f"<x a='{self.choose(tuple(ATTRIBUTE_TEXT.values()))}'/>")
        if self.odd(8) and body:
            at = self.pick(len(body))
            body[at] = self.nested(body[at])
        robot = f"<robot{self.attribute('name', self.name())}>" + "".join(body) + "</robot>"
        parts.append(self.nested(robot) if self.odd(12) else robot)
        text = "".join(parts)
        ends = links + [None] * 4 if self.odd(2) else [None]
        base, tip = self.choose(ends), self.choose(ends)
        as_bytes = self.pick(2)
        return (text.encode("utf-8", "surrogatepass") if as_bytes else text), base, tip


def escape(text):
    return text.replace("&", "&amp;").replace("<", "&lt;").replace('"', "&quot;")


def make_source(data):
    """(source, base_link, tip_link) from the input bytes."""
    form, rest = data[0] % 4, bytes(data[1:])
    if form == 0:
        return rest, None, None
    if form == 1:
        try:
            text = rest.decode("utf-8", "surrogatepass")
        except UnicodeDecodeError:
            text = rest.decode("latin-1")
        # a str that does not start with "<" is a path to read
        return (text if text.lstrip().startswith("<") else rest), None, None
    return Builder(rest).document()


def check_body(kb):
    """An accepted body: what every chain read from a URDF must satisfy."""
    assert isinstance(kb, KinBody) and kb.dof >= 1, kb
    names = [j.name for j in kb.joints]
    assert len(set(names)) == len(names), names
    for j in kb.joints:
        assert j.joint_type in ("revolute", "prismatic"), j
        for T in (j.T_left, j.T_right):
            assert T.shape == (4, 4) and np.isfinite(T).all(), (j, T)
            assert T[3].tolist() == [0.0, 0.0, 0.0, 1.0], (j, T)
            R = T[:3, :3]
            assert np.abs(R.T @ R - np.eye(3)).max() < 1e-6, (j, T)
        assert np.isfinite(j.axis).all(), j
        assert abs(math.hypot(*j.axis.tolist()) - 1.0) <= kovi._kinbody.AXIS_UNIT_TOLERANCE, j
        if j.limits is not None:
            lower, upper = j.limits
            assert math.isfinite(lower) and math.isfinite(upper) and lower <= upper, j


def check_robot(robot, kb):
    """An accepted robot: every link a frame, poses of rigid form, and the
    body's joints on its path."""
    links = [link.name for link in robot._model.links]
    assert sorted(robot.frame_names) == sorted(links), (robot.frame_names, links)
    poses = robot.frame_poses(robot.neutral_configuration()).array
    assert poses.shape == (len(robot.frame_names), 4, 4), poses.shape
    assert (poses[:, 3] == [0.0, 0.0, 0.0, 1.0]).all(), poses
    if kb is not None:
        path = robot.chain(kb.link_names[-1], kb.link_names[0])
        assert path.joint_names == kb.joint_names, (path.joint_names, kb.joint_names)


def read(source, base, tip, load=None):
    """KinBody.from_urdf's outcome (or that of `load`), with what it did
    that it must not."""
    watch["events"].clear()
    watch["on"] = True
    started = time.process_time()
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # showing a warning reads its source file
            if load is not None:
                return load(source), None
            return KinBody.from_urdf(source, base, tip), None
    except URDFError as exc:
        return None, exc
    finally:
        watch["on"] = False
        spent = time.process_time() - started
        if watch["events"]:
            raise harness.Finding(f"reading the URDF text did {watch['events'][:3]}")
        if spent > SECONDS_PER_INPUT:
            raise harness.Finding(f"reading {len(source)} characters took {spent:.2f} s")


def test_one_input(data):
    if not data:
        return
    source, base, tip = make_source(data)
    kb, error = read(source, base, tip)
    if error is None:
        check_body(kb)
    robot, error = read(source, None, None, Robot.from_urdf)
    if error is None:
        check_robot(robot, kb)


if __name__ == "__main__":
    harness.fuzz(test_one_input, modules=(kovi._urdf, kovi._kinbody, kovi._robot))
