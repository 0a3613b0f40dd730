"""A URDF robot model read into plain records: its links and joints.

URDF describes a tree of links joined by joints; each joint's ``<origin>``
places its frame in the parent link's frame, the joint moves about (or along)
its ``<axis>`` in that frame, and the child link's frame is the moved frame.
This module reads a document into ``UrdfModel``: the robot's name, its
``UrdfLink`` and ``UrdfJoint`` records (origins as 4x4 transforms, axes,
types, limits, velocities, efforts, mimic data, each with its line in the
text) and the tree they form.  What is built from them lives elsewhere:
``KinBody.from_urdf`` (one serial chain) and ``kovi.Robot`` (the whole tree).

The text is parsed with the standard library's expat parser, built into a
tree by ElementTree's TreeBuilder.  A URDF is untrusted input and needs no
document type declaration, so one is refused outright: nothing from a DTD
(internal entities that expand, external ones that would be read) is ever
processed.  Nor does the text choose a decoder from Python's codecs (which
would import it: files read at the text's request): bytes must be in one
of the encodings expat reads itself, and a str is read as the text it is,
whatever its XML declaration names.  A path must name a regular file (not
a FIFO or a device) of at most ``MAX_FILE_BYTES``.

Numbers follow the lexical form of an XML Schema decimal or double that
urdfdom and Pinocchio read: ASCII digits, an optional sign, point and
exponent, separated by XML white space; no ``_`` separators, no other
digits or spaces, and only finite values.
"""

from __future__ import annotations

import math
import os
import re
import stat
import xml.etree.ElementTree as ET
from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from xml.parsers import expat

import numpy as np
from numpy.typing import NDArray

__all__ = ["MAX_FILE_BYTES", "URDFError", "UrdfJoint", "UrdfLink", "UrdfMimic", "UrdfModel",
           "name_list", "read_model", "read_regular_file"]

MOVABLE = {"revolute": "revolute", "continuous": "revolute", "prismatic": "prismatic"}
# What expat decodes by itself; any other name it would look up among
# Python's codecs.  URDF files are UTF-8 in practice.
EXPAT_ENCODINGS = ("UTF-8", "UTF-16", "UTF-16BE", "UTF-16LE", "ISO-8859-1", "US-ASCII")
KNOWN_TYPES = (*MOVABLE, "fixed", "floating", "planar")
# The largest URDF file read: far above any robot's description (the
# largest of example-robot-data's is under 1 MB), far below a memory
# exhausted by a device that never ends.
MAX_FILE_BYTES = 64 * 1024 * 1024
# How many names a message lists before it counts the rest.
LISTED_NAMES = 10

# xsd:decimal and xsd:double, finite forms; ASCII only (re.ASCII keeps
# \d from matching other scripts' digits).
_NUMBER = re.compile(r"[+-]?(?:\d+(?:\.\d*)?|\.\d+)(?:[eE][+-]?\d+)?", re.ASCII)
# XML's white space: space, tab, carriage return, line feed; nothing else.
_XML_SPACE = re.compile(r"[ \t\r\n]+")


class URDFError(ValueError):
    """A URDF model that cannot be read, or cannot give the chain or robot
    asked of it; the message names the element (and its line in the text)
    at fault."""


def name_list(names: Iterable[str], limit: int = LISTED_NAMES) -> str:
    """Up to ``limit`` names, comma separated, then how many more there are."""
    names = list(names)
    shown = ", ".join(names[:limit])
    return shown if len(names) <= limit else f"{shown} and {len(names) - limit} more"


@dataclass(frozen=True)
class UrdfLink:
    name: str
    line: int | str


@dataclass(frozen=True)
class UrdfMimic:
    """``<mimic joint=... multiplier=... offset=...>``: this joint's value is
    ``multiplier * q[joint] + offset``."""

    joint: str
    multiplier: float
    offset: float


@dataclass(frozen=True, eq=False)
class UrdfJoint:
    """One ``<joint>``, with its numbers read and checked to be finite.

    ``origin`` is the 4x4 transform of the joint frame in the parent link's
    frame (read-only).  ``axis`` is as written (not scaled; ``(1, 0, 0)``
    when absent), for movable joints only.  ``limits`` is ``(lower, upper)``
    of a revolute or prismatic joint with a ``<limit>`` (a missing bound is
    0, as URDF says), else None; ``velocity`` and ``effort`` come from
    ``<limit>`` where given.
    """

    name: str
    type: str
    parent: str
    child: str
    origin: NDArray[np.float64]
    axis: tuple[float, float, float] | None
    limits: tuple[float, float] | None
    velocity: float | None
    effort: float | None
    mimic: UrdfMimic | None
    line: int | str

    @property
    def movable(self) -> bool:
        return self.type in MOVABLE

    @property
    def kind(self) -> str:
        """``"revolute"`` or ``"prismatic"`` for a movable joint."""
        return MOVABLE[self.type]


class UrdfModel:
    """A URDF document's robot: links and joints as records, and its tree."""

    def __init__(self, origin: str, name: str, links: Sequence[UrdfLink],
                 joints: Sequence[UrdfJoint]) -> None:
        self.origin = origin
        self.name = name
        self.links = tuple(links)
        self.joints = tuple(joints)
        self.link_names = {link.name: link for link in self.links}
        self.joint_by_name = {joint.name: joint for joint in self.joints}
        # the joint above each link; children in document order
        self.parent_joint = {joint.child: joint for joint in self.joints}
        self.children: dict[str, list[UrdfJoint]] = {}
        for joint in self.joints:
            self.children.setdefault(joint.parent, []).append(joint)

    def error(self, message: str) -> URDFError:
        return URDFError(f"{self.origin}: {message}")

    def fail(self, record: UrdfJoint | UrdfLink, message: str) -> URDFError:
        tag = "joint" if isinstance(record, UrdfJoint) else "link"
        return URDFError(f"{self.origin}, line {record.line}: <{tag} name={record.name!r}>: "
                         f"{message}")

    def check_link(self, role: str, name: str) -> None:
        if name not in self.link_names:
            raise self.error(f"{role} {name!r} is not a <link> of robot {self.name!r}")

    def root(self, hint: str | None = "pass base_link") -> str:
        """The only link that is no joint's child; ``hint`` ends the message
        of a model without one."""
        if not self.links:
            raise self.error(f"robot {self.name!r} has no links")
        roots = [link.name for link in self.links if link.name not in self.parent_joint]
        if len(roots) != 1:
            problem = ("no root link (its joints form a loop)" if not roots else
                       "several root links: " + name_list(sorted(roots)))
            raise self.error(f"robot {self.name!r} has {problem}" + (f"; {hint}" if hint else ""))
        return roots[0]

    def below(self, base: str) -> list[str]:
        """The links below ``base`` (itself first), depth first in document
        order; a URDFError if the joints below it form a loop."""
        order, stack, seen = [], [base], {base}
        while stack:
            link = stack.pop()
            order.append(link)
            for joint in reversed(self.children.get(link, [])):
                if joint.child in seen:  # a cycle through base
                    raise self.error(f"the joints below {base!r} form a loop through link "
                                     f"{joint.child!r}")
                seen.add(joint.child)
                stack.append(joint.child)
        return order

    def only_leaf(self, base: str) -> str:
        leaves = [link for link in self.below(base) if not self.children.get(link)]
        if leaves == [base]:
            raise self.error(f"no joint below base_link {base!r}")
        if len(leaves) > 1:
            raise self.error(f"the tree branches below {base!r}; pass tip_link, one of: "
                             f"{name_list(sorted(leaves))}")
        return leaves[0]

    def path_down(self, base: str, tip: str) -> list[UrdfJoint]:
        """The joints from ``base`` down to ``tip``, found by climbing up."""
        path, link, seen = [], tip, {tip}
        while link != base:
            if link not in self.parent_joint:
                raise self.error(f"tip_link {tip!r} is not below base_link {base!r}")
            joint = self.parent_joint[link]
            link = joint.parent
            path.append(joint)
            if link in seen:
                raise self.fail(joint, f"the joints above {tip!r} form a loop")
            seen.add(link)
        path.reverse()
        return path


# ---------------------------------------------------------------------------
# Reading

class _Document:
    """A parsed URDF: its root element, and where each element started, for
    messages."""

    def __init__(self, source: str | bytes | os.PathLike[str]) -> None:
        encoding = None   # as the bytes say
        if isinstance(source, bytes):
            self.origin, data = "URDF text", source
        elif isinstance(source, str) and source.removeprefix("\ufeff").lstrip().startswith("<"):
            # A leading byte order mark (kept by a text read from a file that
            # had one) goes; lone surrogates pass into the bytes, where expat
            # refuses them as malformed.
            self.origin = "URDF text"
            data = source.removeprefix("\ufeff").encode("utf-8", "surrogatepass")
            encoding = "UTF-8"
        elif isinstance(source, (str, os.PathLike)):
            self.origin = os.fspath(source)
            data = read_regular_file(source)
        else:
            raise TypeError(f"URDF source must be a path, XML text or bytes, "
                            f"got {type(source).__name__}")
        self.lines: dict[ET.Element, int] = {}
        self.root = self._parse(data, encoding)

    def _parse(self, data: bytes, encoding: str | None) -> ET.Element:
        """The tree of `data`, decoded as `encoding` (which overrides the XML
        declaration's), or else as the document says."""
        builder = ET.TreeBuilder()
        parser = expat.ParserCreate(encoding)

        def start(tag: str, attrs: dict[str, str]) -> None:
            self.lines[builder.start(tag, attrs)] = parser.CurrentLineNumber

        def refuse_doctype(name: str, *_: object) -> None:
            raise URDFError(f"{self.origin}, line {parser.CurrentLineNumber}: <!DOCTYPE {name}> "
                            "refused: a URDF needs no document type declaration, and its "
                            "entities are not expanded")

        # Called before expat looks for a decoder of the declared encoding.
        def check_encoding(version: str, declared: str | None, standalone: int) -> None:
            if encoding is None and declared is not None and \
                    declared.upper() not in EXPAT_ENCODINGS:
                raise URDFError(f"{self.origin}, line {parser.CurrentLineNumber}: encoding "
                                f"{declared!r} refused: a URDF must be in one of "
                                f"{', '.join(EXPAT_ENCODINGS)}")

        parser.StartElementHandler = start
        parser.EndElementHandler = builder.end
        parser.StartDoctypeDeclHandler = refuse_doctype
        parser.XmlDeclHandler = check_encoding
        try:
            parser.Parse(data, True)
        except expat.ExpatError as exc:
            raise URDFError(f"{self.origin}: malformed XML: {exc}") from None
        return builder.close()

    def line(self, element: ET.Element) -> int | str:
        return self.lines.get(element, "?")

    def fail(self, element: ET.Element, message: str) -> URDFError:
        tag = element.tag
        name = element.get("name")
        label = f"<{tag} name={name!r}>" if name is not None else f"<{tag}>"
        return URDFError(f"{self.origin}, line {self.line(element)}: {label}: {message}")


def read_regular_file(path: str | os.PathLike[str]) -> bytes:
    """The bytes of a regular file of at most MAX_FILE_BYTES.

    Opened without blocking (a FIFO without a writer would wait forever)
    and checked on the open descriptor, so a path swapped after a check
    cannot slip a device or a FIFO in; a URDFError for anything else.
    """
    where = os.fspath(path)
    flags = os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_CLOEXEC", 0)
    fd = os.open(path, flags)
    try:
        mode = os.fstat(fd).st_mode
        if not stat.S_ISREG(mode):
            kind = ("a directory" if stat.S_ISDIR(mode) else "a FIFO" if stat.S_ISFIFO(mode)
                    else "a device" if stat.S_ISCHR(mode) or stat.S_ISBLK(mode)
                    else "a socket" if stat.S_ISSOCK(mode) else "not a regular file")
            raise URDFError(f"{where}: {kind}, not a regular file: a URDF is read from a file")
        chunks, size = [], 0
        while size <= MAX_FILE_BYTES:
            chunk = os.read(fd, min(1 << 20, MAX_FILE_BYTES + 1 - size))
            if not chunk:
                break
            chunks.append(chunk)
            size += len(chunk)
        if size > MAX_FILE_BYTES:
            raise URDFError(f"{where}: longer than {MAX_FILE_BYTES} bytes; no URDF is "
                            "that long")
        return b"".join(chunks)
    finally:
        os.close(fd)


def _numbers(doc: _Document, owner: ET.Element, element: ET.Element | None, attribute: str,
             default: tuple[float, ...]) -> tuple[float, ...]:
    """The numbers of ``element``'s attribute, or ``default`` when either is absent."""
    text = None if element is None else element.get(attribute)
    if element is None or text is None:
        return default
    shown = repr(text) if len(text) <= 80 else f"{text[:60]!r}... ({len(text)} characters)"
    expected = f"<{element.tag} {attribute}={shown}>: expected {len(default)} finite " \
               f"number{'s' if len(default) > 1 else ''}"
    words = [w for w in _XML_SPACE.split(text) if w]
    for word in words:
        if _NUMBER.fullmatch(word) is None:
            raise doc.fail(owner, f"{expected}; {word[:40]!r} is not a decimal number (digits "
                                  "0-9, an optional sign, point and exponent, separated by "
                                  "spaces)")
    values = tuple(float(w) for w in words)
    if len(values) != len(default) or not all(math.isfinite(v) for v in values):
        raise doc.fail(owner, expected)
    return values


def _number(doc: _Document, owner: ET.Element, element: ET.Element | None,
            attribute: str) -> float | None:
    if element is None or element.get(attribute) is None:
        return None
    (value,) = _numbers(doc, owner, element, attribute, (0.0,))
    return value


def _origin(doc: _Document, joint: ET.Element) -> NDArray[np.float64]:
    """The joint's ``<origin>``: translation ``xyz``, then the fixed-axis
    rotations ``rpy`` (roll about x, pitch about y, yaw about z)."""
    element = joint.find("origin")
    x, y, z = _numbers(doc, joint, element, "xyz", (0.0, 0.0, 0.0))
    roll, pitch, yaw = _numbers(doc, joint, element, "rpy", (0.0, 0.0, 0.0))
    cr, sr = math.cos(roll), math.sin(roll)
    cp, sp = math.cos(pitch), math.sin(pitch)
    cy, sy = math.cos(yaw), math.sin(yaw)
    # Rz(yaw) @ Ry(pitch) @ Rx(roll), written out
    origin = np.array([
        [cy * cp, cy * sp * sr - sy * cr, cy * sp * cr + sy * sr, x],
        [sy * cp, sy * sp * sr + cy * cr, sy * sp * cr - cy * sr, y],
        [-sp, cp * sr, cp * cr, z],
        [0.0, 0.0, 0.0, 1.0],
    ])
    origin.flags.writeable = False
    return origin


def _required(doc: _Document, element: ET.Element, attribute: str) -> str:
    value = element.get(attribute)
    if not value:
        raise doc.fail(element, f"missing attribute {attribute!r}")
    return value


def _unique_names(doc: _Document, elements: list[ET.Element]) -> set[str]:
    names: set[str] = set()
    for element in elements:
        name = _required(doc, element, "name")
        if name in names:
            raise doc.fail(element, f"a second <{element.tag}> of this name")
        names.add(name)
    return names


def _link_of(doc: _Document, joint: ET.Element, role: str, links: set[str]) -> str:
    element = joint.find(role)
    if element is None:
        raise doc.fail(joint, f"missing <{role}>")
    link = _required(doc, element, "link")
    if link not in links:
        raise doc.fail(joint, f"{role} link {link!r} is not a <link> of the robot")
    return link


def _joint(doc: _Document, element: ET.Element, links: set[str]) -> UrdfJoint:
    kind = _required(doc, element, "type")
    if kind not in KNOWN_TYPES:
        raise doc.fail(element, f"unknown joint type {kind!r}; URDF has {', '.join(KNOWN_TYPES)}")
    parent = _link_of(doc, element, "parent", links)
    child = _link_of(doc, element, "child", links)
    origin = _origin(doc, element)
    axis: tuple[float, float, float] | None = None
    limits = velocity = effort = mimic = None
    if kind in MOVABLE:
        x, y, z = _numbers(doc, element, element.find("axis"), "xyz", (1.0, 0.0, 0.0))
        axis = (x, y, z)
        limit = element.find("limit")
        if kind != "continuous" and limit is not None:
            # a missing bound is 0 in URDF
            (lower,) = _numbers(doc, element, limit, "lower", (0.0,))
            (upper,) = _numbers(doc, element, limit, "upper", (0.0,))
            limits = (lower, upper)
        velocity = _number(doc, element, limit, "velocity")
        effort = _number(doc, element, limit, "effort")
        found = element.find("mimic")
        if found is not None:
            (multiplier,) = _numbers(doc, element, found, "multiplier", (1.0,))
            (offset,) = _numbers(doc, element, found, "offset", (0.0,))
            mimic = UrdfMimic(found.get("joint") or "", multiplier, offset)
    return UrdfJoint(element.attrib["name"], kind, parent, child, origin, axis,
                     limits, velocity, effort, mimic, doc.line(element))


def read_model(source: str | bytes | os.PathLike[str]) -> UrdfModel:
    """The robot of a URDF document: a path, the XML text, or its bytes.

    Checks what every use needs: a ``<robot>`` root, named and unique links
    and joints, known joint types, parents and children that are links,
    no link the child of two joints, finite numbers in URDF's syntax.
    """
    doc = _Document(source)
    robot = doc.root
    if robot.tag != "robot":
        raise doc.fail(robot, "the root element must be <robot>")
    robot_name = robot.get("name") or "robot"
    link_elements = robot.findall("link")
    link_names = _unique_names(doc, link_elements)
    # Only <joint> children of <robot> are joints; <transmission> and others
    # hold <joint> elements of their own.
    joint_elements = robot.findall("joint")
    _unique_names(doc, joint_elements)
    joints: list[UrdfJoint] = []
    parents: dict[str, UrdfJoint] = {}
    for element in joint_elements:
        joint = _joint(doc, element, link_names)
        if joint.child in parents:
            raise doc.fail(element, f"link {joint.child!r} is already the child of joint "
                                    f"{parents[joint.child].name!r}: a closed loop is not a tree")
        parents[joint.child] = joint
        joints.append(joint)
    links = [UrdfLink(element.attrib["name"], doc.line(element)) for element in link_elements]
    return UrdfModel(doc.origin, robot_name, links, joints)

