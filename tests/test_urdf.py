"""URDF models: the shipped sample robots, models from example-robot-data
against Pinocchio, and what a malformed or unsupported model gets."""

import math
import os
import sysconfig
from pathlib import Path

import numpy as np
import pytest
from helpers import run_python

import kovi
import kovi._urdf
from kovi import KinBody, URDFError
from kovi.kinematics.poe_fk import poe_forward_kinematics as fk

# Universal Robots' base_link is their DH base turned by pi about z.
RZ_PI = np.diag([-1.0, -1.0, 1.0, 1.0])
EXAMPLE_ROBOTS = Path(sysconfig.get_paths()["purelib"], "cmeel.prefix", "share",
                      "example-robot-data", "robots")


def configurations(kb, count=20, seed=3):
    return np.random.default_rng(seed).uniform(-2.5, 2.5, (count, kb.dof))


@pytest.mark.parametrize("name", kovi.robots.NAMES)
def test_shipped_urdf_is_the_built_in_body(name):
    built_in = kovi.robots.body(name)
    kb = KinBody.from_urdf(kovi.robots.urdf_path(name))
    assert kb.joint_names == built_in.joint_names
    assert [j.limits for j in kb.joints] == [j.limits for j in built_in.joints]
    assert [j.joint_type for j in kb.joints] == [j.joint_type for j in built_in.joints]
    base = RZ_PI if name == "ur5" else np.eye(4)
    for q in [kovi.robots.configuration(name), *configurations(kb)]:
        np.testing.assert_allclose(base @ fk(kb, q), fk(built_in, q), rtol=0, atol=1e-12)


def example_robot(relative):
    path = EXAMPLE_ROBOTS / relative
    if not path.is_file():
        pytest.skip(f"example-robot-data is not installed ({path} is missing)")
    return path


def test_universal_robots_urdf_base_is_the_built_in_base_turned_by_pi():
    kb = KinBody.from_urdf(example_robot("ur_description/urdf/ur5_robot.urdf"),
                           base_link="base_link", tip_link="tool0")
    for q in configurations(kb):
        # that file writes pi/2 with 12 digits
        np.testing.assert_allclose(RZ_PI @ fk(kb, q), fk(kovi.robots.ur5(), q), atol=1e-10)


@pytest.mark.parametrize("relative, base_link, tip_link, kinds", [
    ("ur_description/urdf/ur5_robot.urdf", "world", "tool0", "RRRRRR"),
    ("panda_description/urdf/panda.urdf", "panda_link0", "panda_leftfinger", "RRRRRRRP"),
    ("xarm_description/urdf/xarm7.urdf", "world", "link_eef", "RRRRRRR"),
    ("pr2_description/urdf/pr2.urdf", "torso_lift_link", "r_gripper_tool_frame", "RRRRRRR"),
])
def test_example_robot_matches_pinocchio(relative, base_link, tip_link, kinds):
    pin = pytest.importorskip("pinocchio")
    path = example_robot(relative)
    kb = KinBody.from_urdf(path, base_link, tip_link)
    assert repr(kb).endswith(f", {kinds})")
    model = pin.buildModelFromUrdf(str(path))
    data = model.createData()
    first, last = model.getFrameId(base_link), model.getFrameId(tip_link)
    for q in configurations(kb):
        q_pin = pin.neutral(model)
        for joint, value in zip(kb.joints, q):
            j = model.joints[model.getJointId(joint.name)]
            # a continuous joint is (cos, sin) in Pinocchio
            q_pin[j.idx_q:j.idx_q + j.nq] = (math.cos(value), math.sin(value)) \
                if j.nq == 2 else value
        pin.framesForwardKinematics(model, data, q_pin)
        expected = np.linalg.inv(data.oMf[first].homogeneous) @ data.oMf[last].homogeneous
        np.testing.assert_allclose(fk(kb, q), expected, rtol=0, atol=1e-12)


PENDULUM = """<robot name="pendulum">
  <link name="base"/> <link name="arm"/> <link name="bob"/> <link name="mount"/>
  <joint name="to_mount" type="fixed">
    <parent link="base"/> <child link="mount"/> <origin xyz="0 0 1.0"/>
  </joint>
  <joint name="swing" type="continuous">
    <parent link="mount"/> <child link="arm"/> <origin xyz="0 0 0.2"/> <axis xyz="0 2 0"/>
    <limit lower="-1" upper="1"/>
  </joint>
  <joint name="rod" type="prismatic">
    <parent link="arm"/> <child link="bob"/> <origin xyz="0 0 -0.8" rpy="3.141592653589793 0 0"/>
    <axis xyz="0 0 1"/> <limit upper="0.3"/>
  </joint>
</robot>"""


@pytest.mark.parametrize("source", [PENDULUM, PENDULUM.encode(), "FILE", "\ufeff" + PENDULUM])
def test_pendulum_from_text_bytes_and_file(source, tmp_path):
    if source == "FILE":
        source = tmp_path / "p.urdf"
        source.write_text(PENDULUM)
    kb = KinBody.from_urdf(source)
    assert (kb.name, kb.joint_names) == ("pendulum", ("swing", "rod"))
    assert kb.link_names == ("base", "arm", "bob")
    swing, rod = kb.joints
    assert swing.joint_type == "revolute" and swing.limits is None  # continuous
    assert rod.joint_type == "prismatic" and rod.limits == (0.0, 0.3)  # URDF's lower default
    assert swing.axis.tolist() == [0.0, 1.0, 0.0]
    for angle, extension in [(0.0, 0.0), (0.7, 0.1), (-2.0, 0.25)]:
        # the rod hangs 0.8 m below the pivot at 1.2 m and extends downwards
        reach = 0.8 + extension
        expected = (-reach * math.sin(angle), 0.0, 1.2 - reach * math.cos(angle))
        T = fk(kb, np.array([angle, extension]))
        np.testing.assert_allclose(T[:3, 3], expected, rtol=0, atol=1e-12)


def robot(*body):
    return "<robot name='r'>" + "".join(body) + "</robot>"


def link(*names):
    return "".join(f"<link name='{n}'/>" for n in names)


def joint(name, parent, child, kind="revolute", extra=""):
    return (f"<joint name='{name}' type='{kind}'><parent link='{parent}'/>"
            f"<child link='{child}'/>{extra}</joint>")


CHAIN = link("a", "b", "c") + joint("j1", "a", "b") + joint("j2", "b", "c")


@pytest.mark.parametrize("text, kwargs, error", [
    ('<?xml version="1.0"?><!DOCTYPE r [<!ENTITY x "0 0 1">]>' + robot(CHAIN), {},
     r"URDF text, line 1: <!DOCTYPE r> refused: a URDF needs no document type declaration"),
    ('<!DOCTYPE robot SYSTEM "file:///etc/passwd">\n' + robot(CHAIN), {}, r"<!DOCTYPE robot> refused"),
    (robot(CHAIN).replace("</robot>", ""), {}, r"URDF text: malformed XML: no element found"),
    (robot(link("a", "b"), "\n", joint("free", "a", "b", "floating")), {},
     r"line 2: <joint name='free'>: a floating joint on the chain from 'a' to 'b'"),
    (robot(link("a", "b"), joint("slide", "a", "b", "planar")), {}, r"a planar joint on the chain"),
    (robot(link("a", "b"), joint("m", "a", "b", extra="<mimic joint='x'/>")), {},
     r"<joint name='m'>: a mimic joint on the chain"),
    (robot(link("a"), joint("j", "a", "b")), {},
     r"<joint name='j'>: child link 'b' is not a <link> of the robot"),
    (robot(CHAIN), {"tip_link": "z"}, r"tip_link 'z' is not a <link> of robot 'r'"),
    (robot(CHAIN, link("d"), joint("j3", "a", "d")), {},
     r"the tree branches below 'a'; pass tip_link, one of: c, d"),
    (robot(CHAIN, joint("j3", "a", "c")), {},
     r"<joint name='j3'>: link 'c' is already the child of joint 'j2': a closed loop"),
    (robot(CHAIN, joint("j3", "c", "a")), {}, r"robot 'r' has no root link \(its joints form a loop\)"),
    (robot(link("a", "b"), joint("j", "a", "b", extra="<axis xyz='0 0 0'/>")), {},
     r"<joint name='j'>: axis \(0.0, 0.0, 0.0\) has zero length"),
    (robot(link("a", "b"), joint("j", "a", "b", extra="<origin xyz='1 nan 0'/>")), {},
     r"<joint name='j'>: <origin xyz='1 nan 0'>: expected 3 finite numbers"),
    (robot(CHAIN), {"base_link": "c", "tip_link": "a"}, r"tip_link 'a' is not below base_link 'c'"),
])
def test_bad_urdf_names_the_element(text, kwargs, error):
    with pytest.raises(URDFError, match=error):
        KinBody.from_urdf(text, **kwargs)


def declared(encoding, name="j"):
    return f'<?xml version="1.0" encoding="{encoding}"?>' + robot(
        link("a", "b"), joint(name, "a", "b"))


@pytest.mark.parametrize("encoding", ["koi8-r", "latin-1", "nonexistent", "rot13", "utf-32",
                                      "punycode", "idna", "undefined"])
def test_bytes_in_an_encoding_expat_lacks_are_refused_before_any_codec_lookup(encoding):
    with pytest.raises(URDFError, match=f"line 1: encoding '{encoding}' refused"):
        KinBody.from_urdf(declared(encoding).encode())


def test_reading_a_declared_encoding_imports_and_opens_nothing():
    # a codec lookup imports the codec's module: files read at the text's request
    out = run_python(f"""
        import sys
        from kovi import KinBody, URDFError
        def declared(encoding):
            return {declared("ENCODING")!r}.replace("ENCODING", encoding)
        events = []
        sys.addaudithook(lambda event, args: events.append(event) if event in ("open", "import") else None)
        for encoding in ("koi8-r", "mbcs", "utf_7", "x" * 80):
            for source in (declared(encoding), declared(encoding).encode()):
                try:
                    KinBody.from_urdf(source)
                except URDFError:
                    pass
        print(events)
    """)
    assert out.strip() == "[]"


@pytest.mark.parametrize("encoding", ["UTF-8", "ISO-8859-1", "UTF-16", "koi8-r", "nonexistent"])
def test_a_str_is_read_as_the_text_it_is_whatever_its_declaration(encoding):
    assert KinBody.from_urdf(declared(encoding, "gelenk_\u00e4\u00df")).joint_names == \
        ("gelenk_\u00e4\u00df",)


def test_latin_1_bytes_declared_as_such_are_still_read():
    text = declared("ISO-8859-1", "gelenk_\u00e4")
    assert KinBody.from_urdf(text.encode("latin-1")).joint_names == ("gelenk_\u00e4",)


@pytest.mark.parametrize("text", ["<robot name='\ud800'/>", "<robot><!-- \udfff --></robot>"])
def test_lone_surrogates_are_malformed_xml(text):
    with pytest.raises(URDFError, match="malformed XML"):
        KinBody.from_urdf(text)


@pytest.mark.parametrize("xyz, direction", [
    ("5e-324 5e-324 0", (1.0, 1.0, 0.0)),
    ("1e-323 -1.5e-323 0", (2.0, -3.0, 0.0)),  # 2 and 3 times the least subnormal
    ("1.7e308 1.7e308 0", (1.0, 1.0, 0.0)),
    ("-1.7976931348623157e308 0 1.7976931348623157e308", (-1.0, 0.0, 1.0)),
])
def test_an_axis_of_subnormal_or_huge_components_is_scaled_to_unit_length(xyz, direction):
    # its length underflows to few bits, or overflows to inf
    kb = KinBody.from_urdf(robot(link("a", "b"), joint("j", "a", "b", extra=f"<axis xyz='{xyz}'/>")))
    axis = kb.joints[0].axis
    np.testing.assert_allclose(axis, np.array(direction) / np.linalg.norm(direction),
                               rtol=0, atol=1e-12)
    assert abs(math.hypot(*axis) - 1.0) < 1e-15


@pytest.mark.parametrize("load", [KinBody.from_urdf, kovi.Robot.from_urdf])
@pytest.mark.parametrize("special, kind", [("fifo", "a FIFO"), ("/dev/zero", "a device"),
                                           ("dir", "a directory")])
def test_only_regular_files_are_read(load, special, kind, tmp_path):
    path = Path(special) if special.startswith("/") else tmp_path / special
    if special == "fifo":
        os.mkfifo(path)   # no writer: a blocking open would wait forever
    elif special == "dir":
        path.mkdir()
    with pytest.raises(URDFError, match=f"{kind}, not a regular file"):
        load(path)


def test_a_file_longer_than_the_bound_is_refused(tmp_path, monkeypatch):
    monkeypatch.setattr(kovi._urdf, "MAX_FILE_BYTES", 100)
    path = tmp_path / "long.urdf"
    path.write_text(robot(CHAIN) + " " * 100)
    with pytest.raises(URDFError, match="longer than 100 bytes"):
        KinBody.from_urdf(path)


@pytest.mark.parametrize("xyz", ["1_000 0 0", "\u0661 0 0", "1\u00a00 0", "0x10 0 0", "1,5 0 0",
                                 "1e999 0 0", "inf 0 0", "NaN 0 0", "1 0", "1 2 3 4"])
def test_urdf_numbers_outside_the_xml_grammar_are_refused_with_the_line(xyz):
    text = robot(link("a", "b"), "\n", joint("j", "a", "b", extra=f"<origin xyz='{xyz}'/>"))
    with pytest.raises(URDFError, match=r"line 2: <joint name='j'>: <origin xyz=.*expected 3 finite"):
        KinBody.from_urdf(text)


@pytest.mark.parametrize("xyz, expected", [("+.5\t-0\n1E2", (0.5, 0.0, 100.0)),
                                           (" 1. 2e-3  -.25 ", (1.0, 0.002, -0.25))])
def test_urdf_numbers_in_the_xml_grammar_are_read(xyz, expected):
    kb = KinBody.from_urdf(robot(link("a", "b"), joint("j", "a", "b", extra=f"<origin xyz='{xyz}'/>")))
    assert kb.joints[0].T_left[:3, 3].tolist() == list(expected)


def test_a_long_list_of_leaves_is_capped():
    leaves = [f"leaf{i:02d}" for i in range(30)]
    text = robot(link("a", *leaves), *(joint(f"j{i}", "a", leaf) for i, leaf in enumerate(leaves)))
    with pytest.raises(URDFError, match=r"pass tip_link, one of: leaf00, .*, leaf09 and 20 more$"):
        KinBody.from_urdf(text)


@pytest.mark.parametrize("load", [KinBody.from_urdf, kovi.Robot.from_urdf])
def test_an_empty_model_says_it_has_no_links(load):
    with pytest.raises(URDFError, match="robot 'r' has no links$"):
        load(robot())
