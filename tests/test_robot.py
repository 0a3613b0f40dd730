"""Whole robots: frames, Jacobians and paths of a URDF tree against a numpy
tree walk written here and against Pinocchio on example-robot-data; the
configurations of bodies, chains and robots; bad input."""

import math
import sysconfig
import warnings
from pathlib import Path

import numpy as np
import pytest
from ik_oracle import fk as oracle_fk

import kovi
from kovi import Chain, KinBody, Robot, URDFError

EXAMPLE_ROBOTS = Path(sysconfig.get_paths()["purelib"], "cmeel.prefix", "share",
                      "example-robot-data", "robots")

# Fixed joints, a branch at the root, a continuous joint, a scaled axis,
# and mimic joints of either sign, with offsets, on and off their driver's path.
ARM = """<robot name="arm">
  <link name="base"/> <link name="mount"/> <link name="upper"/> <link name="fore"/>
  <link name="hand"/> <link name="tcp"/> <link name="left"/> <link name="right"/>
  <link name="knuckle_link"/> <link name="head_link"/>
  <joint name="to_mount" type="fixed"><parent link="base"/><child link="mount"/>
    <origin xyz="0.1 0 0.3" rpy="0.2 -0.1 0.4"/></joint>
  <joint name="shoulder" type="revolute"><parent link="mount"/><child link="upper"/>
    <axis xyz="0 0 2"/><limit lower="-2" upper="2" velocity="1.5" effort="80"/></joint>
  <joint name="elbow" type="continuous"><parent link="upper"/><child link="fore"/>
    <origin xyz="0 0.4 0" rpy="1.5707963267948966 0 0"/><axis xyz="0 1 0"/></joint>
  <joint name="slide" type="prismatic"><parent link="fore"/><child link="hand"/>
    <origin xyz="0.3 0 0"/><axis xyz="1 0 0"/><limit lower="0" upper="0.2"/></joint>
  <joint name="to_tcp" type="fixed"><parent link="hand"/><child link="tcp"/>
    <origin xyz="0 0 0.1" rpy="0 0.5 0"/></joint>
  <joint name="finger_l" type="prismatic"><parent link="hand"/><child link="left"/>
    <origin xyz="0.05 0.02 0"/><axis xyz="0 1 0"/><limit lower="0" upper="0.04"/></joint>
  <joint name="finger_r" type="prismatic"><parent link="hand"/><child link="right"/>
    <origin xyz="0.05 -0.02 0"/><axis xyz="0 1 0"/><limit lower="-0.04" upper="0"/>
    <mimic joint="finger_l" multiplier="-1" offset="0.01"/></joint>
  <joint name="knuckle" type="revolute"><parent link="hand"/><child link="knuckle_link"/>
    <origin xyz="0.02 0 0.05"/><axis xyz="1 0 0"/><limit lower="-1" upper="1"/>
    <mimic joint="elbow" multiplier="0.5" offset="0.2"/></joint>
  <joint name="head" type="revolute"><parent link="base"/><child link="head_link"/>
    <origin xyz="0 0 0.8"/><axis xyz="0 0 1"/><limit lower="-1" upper="1"/></joint>
</robot>"""


def rotation(axis, angle):
    k = np.asarray(axis, float) / np.linalg.norm(axis)
    K = np.array([[0, -k[2], k[1]], [k[2], 0, -k[0]], [-k[1], k[0], 0]])
    return np.eye(3) + math.sin(angle) * K + (1 - math.cos(angle)) * K @ K


def tree_poses(robot, q):
    """Every link's pose by a plain walk of the URDF records."""
    values = dict(zip(robot.joint_names, q))
    for name, (driver, multiplier, offset) in robot.mimic_joints.items():
        values[name] = multiplier * values[driver] + offset
    poses = {robot.root_link: np.eye(4)}
    pending = [r for r in robot.joint_records.values()]
    while pending:
        record = next(r for r in pending if r.parent in poses)
        pending.remove(record)
        motion = np.eye(4)
        if record.type in ("revolute", "continuous"):
            motion[:3, :3] = rotation(record.axis, values[record.name])
        elif record.type == "prismatic":
            motion[:3, 3] = values[record.name] * np.asarray(record.axis) / np.linalg.norm(record.axis)
        poses[record.child] = poses[record.parent] @ record.origin @ motion
    return poses


@pytest.fixture
def arm():
    return Robot.from_urdf(ARM)


def test_the_tree_names_its_joints_frames_and_data(arm):
    assert arm.joint_names == ("shoulder", "elbow", "slide", "finger_l", "head")
    assert arm.frame_names[0] == "base" and set(arm.frame_names) == set(tree_poses(arm, np.zeros(5)))
    assert arm.mimic_joints == {"finger_r": ("finger_l", -1.0, 0.01), "knuckle": ("elbow", 0.5, 0.2)}
    assert arm.limits.tolist() == [[-2, 2], [-math.inf, math.inf], [0, 0.2], [0, 0.04], [-1, 1]]
    assert arm.velocity_limits[0] == 1.5 and arm.effort_limits[0] == 80
    assert np.isnan(arm.velocity_limits[1:]).all()
    q = arm.random_configuration(4)
    assert arm.q_from_dict(arm.q_dict(q)).tolist() == q.tolist()


def test_frame_poses_and_jacobians_follow_the_tree(arm):
    rng = np.random.default_rng(2)
    for _ in range(5):
        q = arm.random_configuration(rng)
        expected, poses = tree_poses(arm, q), arm.frame_poses(q)
        for name in arm.frame_names:
            np.testing.assert_allclose(poses[name], expected[name], rtol=0, atol=1e-14)
            assert np.array_equal(arm.frame_pose(name, q), poses[name])
            # central differences of the pose: linear from the origin, angular from R' R^T
            numeric = np.zeros((6, arm.dof))
            for i in range(arm.dof):
                step = np.zeros(arm.dof)
                step[i] = 1e-6
                ahead, behind = arm.frame_pose(name, q + step), arm.frame_pose(name, q - step)
                numeric[:3, i] = (ahead[:3, 3] - behind[:3, 3]) / 2e-6
                W = (ahead[:3, :3] - behind[:3, :3]) / 2e-6 @ poses[name][:3, :3].T
                numeric[3:, i] = (W[2, 1], W[0, 2], W[1, 0])
            np.testing.assert_allclose(arm.jacobian(name, q), numeric, rtol=0, atol=1e-8)
            R = poses[name][:3, :3]
            local = np.vstack([R.T @ numeric[:3], R.T @ numeric[3:]])
            np.testing.assert_allclose(arm.jacobian(name, q, "local"), local, rtol=0, atol=1e-8)


def test_every_path_is_a_body_whatever_its_direction(arm):
    rng = np.random.default_rng(3)
    qs = [arm.random_configuration(rng) for _ in range(3)]
    for base in arm.frame_names:
        for tip in arm.frame_names:
            if base == tip:
                continue
            try:
                kb = arm.chain(tip, base)
            except ValueError:   # only fixed joints between them
                assert {base, tip} in ({"base", "mount"}, {"hand", "tcp"})
                continue
            assert kb.link_names[0] == base and kb.link_names[-1] == tip
            for q in qs:
                poses = arm.frame_poses(q)
                np.testing.assert_allclose(
                    oracle_fk(kb, arm.chain_configuration(kb, q)),
                    np.linalg.inv(poses[base]) @ poses[tip], rtol=0, atol=1e-13)


@pytest.mark.parametrize("tip, base, names", [
    ("right", None, ("shoulder", "elbow", "slide", "finger_l")),   # the mimic takes its driver's column
    ("right", "left", ("finger_l", "finger_r")),                   # driver on the path: its own
    ("knuckle_link", None, ("shoulder", "elbow", "slide", "knuckle")),  # multiplier 0.5: its own
])
def test_mimic_joints_on_a_path(arm, tip, base, names):
    assert arm.chain(tip, base).joint_names == names


def test_a_path_from_the_root_is_bit_for_bit_the_tree(arm):
    import pickle
    arm.add_frame("tool", "tcp", [[0, -1, 0, 0.01], [1, 0, 0, 0], [0, 0, 1, 0.2]])
    q = arm.random_configuration(5)
    poses = arm.frame_poses(q)
    assert np.array_equal(pickle.loads(pickle.dumps(arm)).frame_poses(q).array, poses.array)
    for tip in ("upper", "hand", "tcp", "tool", "left", "right"):
        kb = arm.chain(tip)
        chain = Chain(kb)
        q_body = arm.chain_configuration(kb, q)
        assert np.array_equal(chain.pose(q_body), poses[tip])
        assert chain.link_names == kb.link_names
        if tip != "right":   # the mimic's column holds the driver's sign
            for frame in ("world", "local"):
                columns = [arm.joint_names.index(name) for name in kb.joint_names]
                assert np.array_equal(chain.jacobian(q_body, frame),
                                      arm.jacobian(tip, q, frame)[:, columns])


@pytest.mark.parametrize("call, error, match", [
    (lambda r: r.frame_pose("hnad", np.zeros(5)), KeyError, "no frame or joint 'hnad'; close matches: .*hand"),
    (lambda r: r.jacobian("uper", np.zeros(5)), KeyError, "close matches: upper"),
    (lambda r: r.chain("tcp", "bsae"), KeyError, "close matches: base"),
    (lambda r: r.chain("mount"), ValueError, "no movable joint between base 'base' and tip 'mount'"),
    (lambda r: r.frame_pose("hand", np.zeros(4)), ValueError, "expected 5 joint values, got 4"),
    (lambda r: r.jacobian("hand", np.zeros(5), "global"), ValueError, "'world' or 'local'"),
    (lambda r: r.add_frame("tcp", "hand", np.eye(4)), ValueError, "already has a frame 'tcp'"),
    (lambda r: r.add_frame("t", "hand", np.diag([1, 1, -1, 1.0])), ValueError, "must be rigid"),
    (lambda r: r.add_frame("t", "hadn", np.eye(4)), KeyError, "close matches: .*hand"),
    (lambda r: r.q_from_dict({"finger_r": 0.0}), ValueError, "mimics 'finger_l'"),
    (lambda r: r.q_from_dict({"sholder": 0.0}), KeyError, "close matches: shoulder"),
])
def test_bad_input_is_a_clear_error(arm, call, error, match):
    with pytest.raises(error, match=match):
        call(arm)


@pytest.mark.parametrize("change, match", [
    (("<joint name=\"head\" type=\"revolute\">", "<joint name=\"head\" type=\"floating\">"),
     "<joint name='head'>: a floating joint"),
    (("<mimic joint=\"finger_l\"", "<mimic joint=\"finger_r\""), "the mimic joints form a loop"),
    (("<link name=\"head_link\"/>", "<link name=\"head_link\"/><link name=\"loose\"/>"),
     "several root links: base, loose"),
])
def test_models_a_robot_cannot_hold(change, match):
    with pytest.raises(URDFError, match=match):
        Robot.from_urdf(ARM.replace(*change))


def test_a_mimic_of_no_joint_is_independent_with_a_warning():
    with pytest.warns(UserWarning, match="<joint name='knuckle'>: mimics 'ebow'"):
        robot = Robot.from_urdf(ARM.replace("<mimic joint=\"elbow\"", "<mimic joint=\"ebow\""))
    assert "knuckle" in robot.joint_names and "knuckle" not in robot.mimic_joints


# ---- configurations, bases and tools ----------------------------------------

def holders():
    body = kovi.robots.scara()
    arm = Robot.from_urdf(ARM)
    return [("KinBody", body), ("Chain", Chain(body)), ("Robot", arm)]


@pytest.mark.parametrize("kind, holder", holders())
def test_configurations_stay_within_limits(kind, holder):
    limits = holder.limits if kind != "KinBody" else Chain(holder).limits
    lower, upper = limits[:, 0], limits[:, 1]
    draws = np.array([holder.random_configuration(seed) for seed in range(200)])
    free = ~np.isfinite(lower)
    assert ((draws >= lower) & (draws <= upper)).all()
    assert (draws[:, free] > -math.pi).all() and (draws[:, free] <= math.pi).all()
    assert np.array_equal(holder.random_configuration(7), holder.random_configuration(7))
    assert all(holder.within_limits(q) for q in draws)
    neutral = holder.neutral_configuration()
    assert holder.within_limits(neutral)
    outside = upper + 1.0
    outside[free] = 10.0
    assert not holder.within_limits(outside) and holder.within_limits(outside, tol=1.0 + 1e-9)
    assert np.array_equal(holder.clamp(outside), np.where(np.isfinite(upper), upper, 10.0))
    with pytest.raises(ValueError, match=f"expected {len(lower)} joint values"):
        holder.within_limits(np.zeros(len(lower) + 1))


def test_a_prismatic_joint_without_limits_has_no_random_value():
    body = KinBody("b", [kovi.Joint("p", np.eye(4), (0, 0, 1), np.eye(4), "prismatic")])
    with pytest.raises(ValueError, match="'p' is prismatic without limits"):
        body.random_configuration()


def test_base_and_tool_offsets_and_link_names():
    body = kovi.robots.panda()
    base = np.array([[0, -1, 0, 0.5], [1, 0, 0, -0.2], [0, 0, 1, 0.1], [0, 0, 0, 1.0]])
    tool = np.array([[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 1, 0.1034], [0, 0, 0, 1.0]])
    moved = body.with_base(base, name="world").with_tool(tool, name="tcp")
    q = kovi.robots.configuration("panda")
    np.testing.assert_allclose(oracle_fk(moved, q), base @ oracle_fk(body, q) @ tool,
                               rtol=0, atol=1e-15)
    assert moved.link_names == ("world", *body.link_names[1:-1], "tcp")
    import pickle
    chain = pickle.loads(pickle.dumps(Chain(moved)))
    assert chain.link_names == moved.link_names and len(chain.link_poses(q)) == 8
    with pytest.raises(ValueError, match="link_names must hold 8 names"):
        KinBody("p", body.joints, link_names=["a"])
    # a state written before chains kept link names gives the default ones
    old = Chain.__new__(Chain)
    old.__setstate__(Chain(moved).__getstate__()[:5])
    assert old.link_names == ("base", *(f"link{i}" for i in range(1, 8)))


# ---- example-robot-data against Pinocchio ------------------------------------

def example_urdfs():
    return sorted(EXAMPLE_ROBOTS.rglob("*.urdf")) if EXAMPLE_ROBOTS.is_dir() else []


@pytest.mark.parametrize("path", example_urdfs(), ids=lambda p: p.name)
def test_example_robot_frames_match_pinocchio(path):
    """Pinocchio's model is built without mimic support, so every mimic joint
    is a joint of its own there: it is coupled by hand, set to
    multiplier * q_driver + offset, and its Jacobian column is added to its
    driver's times the multiplier."""
    pin = pytest.importorskip("pinocchio")
    try:
        model = pin.buildModelFromUrdf(str(path))
    except ValueError:   # a document without a robot
        with pytest.raises(URDFError, match="has no links"):
            Robot.from_urdf(path)
        return
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")   # a mimic joint of a misspelled driver
        robot = Robot.from_urdf(path)
    data = model.createData()
    pin_joint = {name: model.joints[model.getJointId(name)]
                 for name in (*robot.joint_names, *robot.mimic_joints)}
    rng = np.random.default_rng(0)
    for _ in range(2):
        q = robot.random_configuration(rng)
        values = dict(zip(robot.joint_names, q))
        for name, (driver, multiplier, offset) in robot.mimic_joints.items():
            values[name] = multiplier * values[driver] + offset
        q_pin = pin.neutral(model)
        for name, value in values.items():
            j = pin_joint[name]
            q_pin[j.idx_q:j.idx_q + j.nq] = (math.cos(value), math.sin(value)) if j.nq == 2 else value
        pin.framesForwardKinematics(model, data, q_pin)
        poses = robot.frame_poses(q)
        for name in robot.frame_names:
            frame_id = model.getFrameId(name, pin.BODY)
            np.testing.assert_allclose(poses[name], data.oMf[frame_id].homogeneous, rtol=0, atol=1e-12)
            for frame, reference in (("world", pin.LOCAL_WORLD_ALIGNED), ("local", pin.LOCAL)):
                J_pin = pin.computeFrameJacobian(model, data, q_pin, frame_id, reference)
                expected = np.zeros((6, robot.dof))
                for column, joint in enumerate(robot.joint_names):
                    expected[:, column] = J_pin[:, pin_joint[joint].idx_v]
                for joint, (driver, multiplier, _) in robot.mimic_joints.items():
                    expected[:, robot.joint_names.index(driver)] += \
                        multiplier * J_pin[:, pin_joint[joint].idx_v]
                np.testing.assert_allclose(robot.jacobian(name, q, frame), expected,
                                           rtol=0, atol=1e-12)
