"""The serial chain between two links of a URDF robot model.

URDF describes a tree of links joined by joints; each joint's ``<origin>``
places its frame in the parent link's frame, the joint moves about (or along)
its ``<axis>`` in that frame, and the child link's frame is the moved frame.
So a revolute or prismatic joint is one POE record with ``T_left`` its origin,
and fixed joints are plain transforms, folded into the next movable joint's
``T_left`` (or, after the last one, into its ``T_right``).

The text is parsed with the standard library's expat parser, built into a
tree by ElementTree's TreeBuilder.  A URDF is untrusted input and needs no
document type declaration, so one is refused outright: nothing from a DTD
(internal entities that expand, external ones that would be read) is ever
processed.  Nor does the text choose a decoder from Python's codecs (which
would import it: files read at the text's request): bytes must be in one
of the encodings expat reads itself, and a str is read as the text it is,
whatever its XML declaration names.
"""

from __future__ import annotations

import math
import os
import xml.etree.ElementTree as ET
from dataclasses import dataclass
from pathlib import Path
from xml.parsers import expat

import numpy as np
from numpy.typing import NDArray

from kovi._kinbody import Joint, KinBody

__all__ = ["URDFError", "UrdfChain", "load_chain"]

MOVABLE = {"revolute": "revolute", "continuous": "revolute", "prismatic": "prismatic"}
# What expat decodes by itself; any other name it would look up among
# Python's codecs.  URDF files are UTF-8 in practice.
EXPAT_ENCODINGS = ("UTF-8", "UTF-16", "UTF-16BE", "UTF-16LE", "ISO-8859-1", "US-ASCII")
KNOWN_TYPES = (*MOVABLE, "fixed", "floating", "planar")


class URDFError(ValueError):
    """A URDF model that cannot give the requested serial chain; the message
    names the element (and its line in the text) at fault."""


@dataclass(frozen=True)
class UrdfChain:
    """The chain that ``load_chain`` found: the body and the links it joins."""

    body: KinBody
    robot: str
    base_link: str
    tip_link: str


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
            self.origin, data = os.fspath(source), Path(source).read_bytes()
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

    def fail(self, element: ET.Element, message: str) -> URDFError:
        tag = element.tag
        name = element.get("name")
        label = f"<{tag} name={name!r}>" if name is not None else f"<{tag}>"
        return URDFError(f"{self.origin}, line {self.lines.get(element, '?')}: {label}: {message}")


def _numbers(doc: _Document, owner: ET.Element, element: ET.Element | None, attribute: str,
             default: tuple[float, ...]) -> tuple[float, ...]:
    """The numbers of ``element``'s attribute, or ``default`` when either is absent."""
    text = None if element is None else element.get(attribute)
    if element is None or text is None:
        return default
    try:
        values = tuple(float(v) for v in text.split())
    except ValueError:
        values = ()
    if len(values) != len(default) or not all(math.isfinite(v) for v in values):
        raise doc.fail(owner, f"<{element.tag} {attribute}={text!r}>: expected "
                              f"{len(default)} finite number{'s' if len(default) > 1 else ''}")
    return values


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
    return np.array([
        [cy * cp, cy * sp * sr - sy * cr, cy * sp * cr + sy * sr, x],
        [sy * cp, sy * sp * sr + cy * cr, sy * sp * cr - cy * sr, y],
        [-sp, cp * sr, cp * cr, z],
        [0.0, 0.0, 0.0, 1.0],
    ])


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


def load_chain(source: str | bytes | os.PathLike[str], base_link: str | None = None,
               tip_link: str | None = None) -> UrdfChain:
    """The chain from ``base_link`` to ``tip_link``; see ``KinBody.from_urdf``."""
    doc = _Document(source)
    robot = doc.root
    if robot.tag != "robot":
        raise doc.fail(robot, "the root element must be <robot>")
    robot_name = robot.get("name") or "robot"

    links = _unique_names(doc, robot.findall("link"))
    # Only <joint> children of <robot> are joints; <transmission> and others
    # hold <joint> elements of their own.
    joints = robot.findall("joint")
    _unique_names(doc, joints)
    parent_joint: dict[str, tuple[ET.Element, str]] = {}   # link -> (joint above, its parent)
    children: dict[str, list[str]] = {}
    for joint in joints:
        if _required(doc, joint, "type") not in KNOWN_TYPES:
            raise doc.fail(joint, f"unknown joint type {joint.get('type')!r}; "
                                  f"URDF has {', '.join(KNOWN_TYPES)}")
        parent = _link_of(doc, joint, "parent", links)
        child = _link_of(doc, joint, "child", links)
        if child in parent_joint:
            other = parent_joint[child][0].get("name")
            raise doc.fail(joint, f"link {child!r} is already the child of joint {other!r}: "
                                  "a closed loop is not a tree")
        parent_joint[child] = (joint, parent)
        children.setdefault(parent, []).append(child)

    for role, link_name in (("base_link", base_link), ("tip_link", tip_link)):
        if link_name is not None and link_name not in links:
            raise URDFError(f"{doc.origin}: {role} {link_name!r} is not a <link> of robot "
                            f"{robot_name!r}")
    if base_link is None:
        roots = sorted(links - parent_joint.keys())
        if len(roots) != 1:
            raise URDFError(f"{doc.origin}: robot {robot_name!r} has "
                            f"{'no root link (its joints form a loop)' if not roots else 'several root links: ' + ', '.join(roots)}; "
                            "pass base_link")
        base_link = roots[0]
    if tip_link is None:
        tip_link = _only_leaf(doc, base_link, children)

    path = _path(doc, base_link, tip_link, parent_joint)
    body = KinBody(robot_name, _joints(doc, path, base_link, tip_link))
    return UrdfChain(body, robot_name, base_link, tip_link)


def _only_leaf(doc: _Document, base_link: str, children: dict[str, list[str]]) -> str:
    leaves, stack, seen = [], [base_link], {base_link}
    while stack:
        link = stack.pop()
        below = children.get(link, [])
        if not below:
            leaves.append(link)
        for child in below:
            if child in seen:  # a cycle through base_link
                raise URDFError(f"{doc.origin}: the joints below {base_link!r} form a loop "
                                f"through link {child!r}")
            seen.add(child)
            stack.append(child)
    if leaves == [base_link]:
        raise URDFError(f"{doc.origin}: no joint below base_link {base_link!r}")
    if len(leaves) > 1:
        raise URDFError(f"{doc.origin}: the tree branches below {base_link!r}; pass tip_link, "
                        f"one of: {', '.join(sorted(leaves))}")
    return leaves[0]


def _path(doc: _Document, base_link: str, tip_link: str,
          parent_joint: dict[str, tuple[ET.Element, str]]) -> list[ET.Element]:
    """The joints from base_link down to tip_link, found by climbing up."""
    path, link, seen = [], tip_link, {tip_link}
    while link != base_link:
        if link not in parent_joint:
            raise URDFError(f"{doc.origin}: tip_link {tip_link!r} is not below base_link "
                            f"{base_link!r}")
        joint, link = parent_joint[link]
        path.append(joint)
        if link in seen:
            raise doc.fail(joint, f"the joints above {tip_link!r} form a loop")
        seen.add(link)
    path.reverse()
    return path


def _joints(doc: _Document, path: list[ET.Element], base_link: str, tip_link: str) -> list[Joint]:
    chain = f"on the chain from {base_link!r} to {tip_link!r}"
    movable = []   # (element, T_left, axis, limits) of each movable joint
    pending: NDArray[np.float64] | None = None   # fixed joints not yet folded in
    for element in path:
        kind = element.attrib["type"]
        origin = _origin(doc, element)
        if kind == "fixed":
            pending = origin if pending is None else pending @ origin
            continue
        if kind not in MOVABLE:
            raise doc.fail(element, f"a {kind} joint {chain}; only revolute, continuous, "
                                    "prismatic and fixed joints make a serial chain")
        if element.find("mimic") is not None:
            raise doc.fail(element, f"a mimic joint {chain}; its value would follow "
                                    "another joint's")
        axis = _numbers(doc, element, element.find("axis"), "xyz", (1.0, 0.0, 0.0))
        limit = element.find("limit")
        limits = None
        if kind != "continuous" and limit is not None:
            # a missing bound is 0 in URDF
            (lower,) = _numbers(doc, element, limit, "lower", (0.0,))
            (upper,) = _numbers(doc, element, limit, "upper", (0.0,))
            limits = (lower, upper)
        movable.append((element, origin if pending is None else pending @ origin, axis, limits))
        pending = None
    if not movable:
        raise URDFError(f"{doc.origin}: no revolute, continuous or prismatic joint between "
                        f"{base_link!r} and {tip_link!r}")
    joints = []
    for k, (element, T_left, axis, limits) in enumerate(movable):
        T_right = pending if k == len(movable) - 1 and pending is not None else np.eye(4)
        try:
            joints.append(Joint(element.attrib["name"], T_left, axis, T_right,
                                MOVABLE[element.attrib["type"]], limits=limits, normalize=True))
        except (TypeError, ValueError) as exc:
            # the element's label already names the joint
            raise doc.fail(element, str(exc).removeprefix(f"joint {element.attrib['name']!r}: "))\
                from None
    return joints
