"""The ``kovi`` command: a chain's joints, its pose, a batch of poses, a picture.

    kovi info ROBOT|URDF
    kovi fk ROBOT|URDF --q Q1 Q2 ... [--json]
    kovi fk ROBOT|URDF --q-file Q.npy|Q.csv -o poses.npy
    kovi ik ROBOT|URDF (--pose T11 ... T44 | --xyz X Y Z [--rpy R P Y]) [--q0 ...] [--json]
    kovi plot ROBOT|URDF [--q Q1 Q2 ...] -o chain.png

ROBOT is a sample robot's name (``kovi.robots.NAMES``); anything else is read
as a URDF file, whose chain runs from ``--base-link`` to ``--tip-link`` (by
default the root link and the only leaf).  Joint values are radians and
metres, poses metres.  A user's mistake ends the command with one line on
standard error and exit status 1 (2 for a malformed command line).
"""

from __future__ import annotations

import argparse
import io
import json
import math
import os
import stat
import sys
import time
import warnings
from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any, BinaryIO, TextIO

import numpy as np
from numpy.typing import NDArray

import kovi
from kovi import robots
from kovi._kinbody import KinBody, load_chain
from kovi._urdf import URDFError
from kovi.kinematics import core_summary

# rows of a --q-file computed between two progress updates
BATCH_CHUNK = 4096
# a batch still running after this many seconds shows a progress bar
PROGRESS_DELAY = 0.5


class UserError(Exception):
    """A mistake in the command or its files, reported as one line."""


@dataclass(frozen=True)
class Robot:
    """What the command line named: the body and how to describe it."""

    body: KinBody
    base_frame: str
    end_frame: str
    default_q: NDArray[np.float64]


def load_robot(name: str, base_link: str | None, tip_link: str | None) -> Robot:
    if name in robots.NAMES:
        if base_link is not None or tip_link is not None:
            raise UserError(f"--base-link and --tip-link apply to a URDF file, not to the "
                            f"sample robot {name!r}")
        base, end = robots.FRAMES[name]
        return Robot(robots.body(name), base, end, robots.configuration(name))
    if not Path(name).is_file():
        raise UserError(f"{name!r} is neither a sample robot ({', '.join(robots.NAMES)}) "
                        "nor a URDF file")
    chain = load_chain(Path(name), base_link, tip_link)  # a path, whatever its first character
    return Robot(chain.body, f"link {chain.base_link!r}", f"link {chain.tip_link!r}",
                 np.zeros(chain.body.dof))


def open_regular_file(path: Path) -> BinaryIO:
    """``path`` opened for reading if it is a regular file: a FIFO would
    block the command for good and a device (``/dev/zero``) never end, so
    anything else is refused before a byte is read.  Opened without
    blocking, and checked on the open file, so that what is checked is what
    is read."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
    except OSError as exc:
        raise UserError(f"{path}: cannot open ({exc.strerror})") from None
    try:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            raise UserError(f"{path}: not a regular file")
        os.set_blocking(fd, True)
        return os.fdopen(fd, "rb")
    except BaseException:
        os.close(fd)
        raise


def read_npy(file: BinaryIO, path: Path) -> NDArray[Any]:
    """The array of a .npy file, once its header is known to describe no
    more data than the file holds: numpy would otherwise try to allocate
    whatever the header claims."""
    start = file.read(6)
    if start.startswith(b"PK\x03\x04"):   # an .npz archive under a .npy name
        raise UserError(f"{path}: expected a single array of joint values, got an archive")
    file.seek(0)
    try:
        version = np.lib.format.read_magic(file)
        read_header = {(1, 0): np.lib.format.read_array_header_1_0,
                       (2, 0): np.lib.format.read_array_header_2_0}.get(version)
        if read_header is None:
            raise ValueError(f"unsupported .npy version {version}")
        shape, _, dtype = read_header(file)
    except (ValueError, EOFError, SyntaxError, RecursionError, MemoryError, TypeError) as exc:
        # RecursionError, MemoryError: a header nested beyond the parser's reach
        raise UserError(f"{path}: cannot read joint values (a malformed .npy header: "
                        f"{_short(exc)})") from None
    if dtype.kind not in "iuf":
        raise UserError(f"{path}: joint values must be real numbers, got dtype {dtype}")
    claimed = math.prod(shape) * dtype.itemsize
    held = os.fstat(file.fileno()).st_size - file.tell()
    if claimed > held:
        raise UserError(f"{path}: the header claims an array of shape {shape} ({claimed} bytes), "
                        f"the file holds {held} bytes")
    file.seek(0)
    array: NDArray[Any] = np.load(file, allow_pickle=False)
    return array


def read_csv(file: BinaryIO, body: KinBody) -> NDArray[Any]:
    # utf-8-sig: a byte order mark (as spreadsheet programs write) is no number
    text = io.TextIOWrapper(file, encoding="utf-8-sig")
    with warnings.catch_warnings():
        # an empty file is zero configurations, without numpy's warning
        warnings.simplefilter("ignore", UserWarning)
        qs = np.loadtxt(text, delimiter=",", ndmin=2, dtype=np.float64)
    return qs if qs.size else np.empty((0, body.dof))


def read_configurations(path: Path, body: KinBody) -> NDArray[np.float64]:
    """The rows of joint values in a .npy or .csv file, checked."""
    suffix = path.suffix.lower()
    if suffix not in (".npy", ".csv"):
        raise UserError(f"{path}: expected a .npy or .csv file of joint values")
    with open_regular_file(path) as file:
        try:
            qs = read_npy(file, path) if suffix == ".npy" else read_csv(file, body)
        except (ValueError, EOFError) as exc:   # EOFError: an empty file
            raise UserError(f"{path}: cannot read joint values ({_short(exc)})") from None
        except MemoryError:
            raise UserError(f"{path}: too large to read into memory") from None
    if qs.ndim != 2 or qs.shape[1] != body.dof:
        raise UserError(f"{path}: expected rows of {body.dof} joint values, got an array of "
                        f"shape {qs.shape}")
    if qs.dtype.kind not in "iuf":
        raise UserError(f"{path}: joint values must be real numbers, got dtype {qs.dtype}")
    qs = np.ascontiguousarray(qs, dtype=np.float64)
    bad = np.argwhere(~np.isfinite(qs))
    if len(bad):
        row, col = bad[0]
        raise UserError(f"{path}: row {row}: q[{col}] is {qs[row, col]}")
    return qs


def _short(exc: BaseException, limit: int = 200) -> str:
    """An exception's message on one line, cut to about ``limit`` characters."""
    text = " ".join(str(exc).split()) or type(exc).__name__
    return text if len(text) <= limit else text[:limit - 3] + "..."


class Progress:
    """A progress bar on standard error, for batches that take a while.

    ``force`` True draws it from the start, False never, None once the run
    has taken ``PROGRESS_DELAY`` seconds on a terminal."""

    def __init__(self, total: int, force: bool | None, stream: TextIO) -> None:
        self.total, self.force, self.stream = total, force, stream
        self.start = time.monotonic()
        self.shown = False

    def update(self, done: int) -> None:
        if self.force is False or (self.force is None and not (
                self.stream.isatty() and time.monotonic() - self.start >= PROGRESS_DELAY)):
            return
        filled = 30 * done // max(self.total, 1)
        self.stream.write(f"\rkovi fk: [{'#' * filled}{'.' * (30 - filled)}] "
                          f"{done}/{self.total} poses")
        self.stream.flush()
        self.shown = True

    def close(self) -> None:
        if self.shown:
            self.stream.write("\n")


def format_pose(T: NDArray[np.float64]) -> str:
    # + 0.0 shows a rounded -0.0 as 0.0
    return "\n".join("  ".join(f"{v + 0.0:10.6f}" for v in row) for row in np.round(T, 6))


def run_info(args: argparse.Namespace) -> None:
    robot = load_robot(args.robot, args.base_link, args.tip_link)
    kb = robot.body
    print(f"{kb.name}: {kb.dof} joints")
    print(f"base frame: {robot.base_frame}")
    print(f"end frame:  {robot.end_frame}")
    print(f"core:       {core_summary()}")
    rows = [("#", "joint", "type", "axis", "limits")]
    for i, j in enumerate(kb.joints, 1):
        axis = " ".join(f"{v + 0.0:g}" for v in j.axis.tolist())
        unit = "m" if j.joint_type == "prismatic" else "rad"
        limits = "none" if j.limits is None else f"{j.limits[0]:g} .. {j.limits[1]:g} {unit}"
        rows.append((str(i), j.name, j.joint_type, axis, limits))
    widths = [max(len(r[c]) for r in rows) for c in range(5)]
    for r in rows:
        print("  ".join(cell.ljust(w) for cell, w in zip(r, widths)).rstrip())


def run_fk(args: argparse.Namespace) -> None:
    robot = load_robot(args.robot, args.base_link, args.tip_link)
    kb = robot.body
    if args.q_file is not None:
        if args.output is None:
            raise UserError("--q-file needs -o/--output, the .npy file for the poses")
        if args.json:
            raise UserError("--json goes with --q; --q-file writes its poses to -o")
        output = Path(args.output)
        if output.suffix != ".npy":
            raise UserError(f"{output}: the poses are written as a .npy file")
        qs = read_configurations(Path(args.q_file), kb)
        chain = kovi.Chain(kb)
        poses = np.empty((len(qs), 4, 4))
        progress = Progress(len(qs), args.progress, sys.stderr)
        try:
            for start in range(0, len(qs), BATCH_CHUNK):
                stop = min(start + BATCH_CHUNK, len(qs))
                chain.poses(qs[start:stop], out=poses[start:stop])
                progress.update(stop)
        finally:
            progress.close()
        np.save(output, poses)
        print(f"{len(poses)} poses of {kb.name} written to {output}", file=sys.stderr)
        return
    if args.output is not None:
        raise UserError("-o/--output goes with --q-file; --q prints its pose")
    try:
        T = kovi.forward_kinematics(kb, args.q)
    except ValueError as exc:   # the number of values, or one not finite
        raise UserError(str(exc)) from None
    if not np.isfinite(T).all():
        # JSON has no infinity or NaN: such a pose is an error, in either form
        raise UserError("the pose is not finite at these joint values (it overflows float64)")
    if args.json:
        print(json.dumps({"robot": kb.name, "q": args.q, "pose": T.tolist()}, allow_nan=False))
    else:
        print(f"{kb.name}: base-to-end pose (metres) at q = {args.q}")
        print(format_pose(T))


def joint_frames(kb: KinBody, q: Sequence[float] | NDArray[np.float64]
                 ) -> list[NDArray[np.float64]]:
    """The base frame, each joint's frame (the one its axis is expressed in,
    ``T_left`` on from the pose before it) and the end frame, in the base frame."""
    try:
        links = kovi.Chain(kb).link_poses(q)
    except ValueError as exc:   # the number of values, or one not finite
        raise UserError(str(exc)) from None
    return [links[0], *(links[i] @ joint.T_left for i, joint in enumerate(kb.joints)), links[-1]]


def run_plot(args: argparse.Namespace) -> None:
    try:
        from matplotlib.backends.backend_agg import FigureCanvasAgg
        from matplotlib.figure import Figure
    except ImportError:
        raise UserError("kovi plot needs matplotlib, the optional 'plot' extra: "
                        "pip install 'kovi[plot]'") from None
    robot = load_robot(args.robot, args.base_link, args.tip_link)
    kb = robot.body
    q = robot.default_q if args.q is None else args.q
    frames = joint_frames(kb, q)
    origins = np.array([F[:3, 3] for F in frames])
    with np.errstate(over="ignore", invalid="ignore"):
        span = float(np.ptp(origins, axis=0).max()) or 1.0
        centre = (origins.max(axis=0) + origins.min(axis=0)) / 2
    if not (math.isfinite(span) and np.isfinite(centre).all() and
            np.isfinite(np.array(frames)).all()):
        raise UserError(f"{kb.name}: the frames lie too far apart to draw (their coordinates "
                        "overflow float64)")

    fig = Figure(figsize=(6, 6))
    FigureCanvasAgg(fig)
    ax = fig.add_subplot(projection="3d")
    ax.plot(*origins.T, color="0.3", linewidth=2.5, marker="o", markersize=4)
    triad = 0.12 * span
    labels: dict[tuple[float, ...], list[str]] = {}   # joints whose frames share an origin
    for k, F in enumerate(frames):
        for column, colour in enumerate(("tab:red", "tab:green", "tab:blue")):
            tip = F[:3, 3] + triad * F[:3, column]
            ax.plot(*np.array([F[:3, 3], tip]).T, color=colour, linewidth=1.2)
        if 0 < k <= kb.dof:
            joint = kb.joints[k - 1]
            direction = triad * 1.6 * (F[:3, :3] @ joint.axis)
            ax.plot(*np.array([F[:3, 3] - direction, F[:3, 3] + direction]).T, color="black",
                    linestyle="--", linewidth=1.0)
        name = "end" if k == len(frames) - 1 else kb.joints[k - 1].name if k else "base"
        labels.setdefault(tuple(np.round(F[:3, 3], 4).tolist()), []).append(name)
    for origin, names in labels.items():
        ax.text(*origin, " " + ", ".join(names), fontsize=7)
    for lim, c in zip((ax.set_xlim, ax.set_ylim, ax.set_zlim), centre):
        lim(c - 0.6 * span, c + 0.6 * span)
    ax.set_box_aspect((1, 1, 1))
    ax.set_xlabel("x (m)")
    ax.set_ylabel("y (m)")
    ax.set_zlabel("z (m)")
    values = ", ".join(f"{v:.3g}" for v in q)
    ax.set_title(f"{kb.name} at q = [{values}]\n"
                 "frames: x red, y green, z blue; joint axes dashed",
                 fontsize=9)
    # A name without an extension gets the default format's, as matplotlib
    # adds it: the message names the file written.
    output = args.output
    if not os.path.splitext(output)[1][1:]:
        output = output.rstrip(".") + "." + fig.canvas.get_default_filetype()
    try:
        fig.savefig(output, dpi=110)
    except ValueError as exc:  # an unknown image format
        raise UserError(f"{output}: {exc}") from None
    print(f"{kb.name} drawn to {output}", file=sys.stderr)


def read_target(args: argparse.Namespace) -> NDArray[np.float64]:
    """kovi ik's target: --pose's 16 values (a 4x4, row by row) or 12 (its top
    three rows), or --xyz with --rpy (roll, pitch, yaw: turns about the base's
    x, then y, then z axis, R = Rz(yaw) Ry(pitch) Rx(roll))."""
    if args.pose is not None:
        if args.xyz is not None or args.rpy is not None:
            raise UserError("--pose gives the whole target: leave out --xyz and --rpy")
        if len(args.pose) not in (12, 16):
            raise UserError(f"--pose takes 16 values (a 4x4 pose, row by row) or 12 (its top "
                            f"three rows), got {len(args.pose)}")
        T = np.eye(4)
        T[: len(args.pose) // 4] = np.reshape(args.pose, (-1, 4))
        return T
    if args.xyz is None:
        raise UserError("kovi ik needs a target: --pose (16 values) or --xyz X Y Z [--rpy R P Y]")
    roll, pitch, yaw = args.rpy if args.rpy is not None else (0.0, 0.0, 0.0)
    cr, sr, cp, sp, cy, sy = (np.cos(roll), np.sin(roll), np.cos(pitch), np.sin(pitch),
                              np.cos(yaw), np.sin(yaw))
    T = np.eye(4)
    T[:3, :3] = [[cy * cp, cy * sp * sr - sy * cr, cy * sp * cr + sy * sr],
                 [sy * cp, sy * sp * sr + cy * cr, sy * sp * cr - cy * sr],
                 [-sp, cp * sr, cp * cr]]
    T[:3, 3] = args.xyz
    return T


def read_locks(locks: Sequence[str], kb: KinBody) -> dict[int | str, float]:
    """--lock JOINT=VALUE, JOINT a joint's name or its number in kovi info."""
    locked: dict[int | str, float] = {}
    for lock in locks:
        joint, sep, value = lock.rpartition("=")
        if not sep or not joint:
            raise UserError(f"--lock takes JOINT=VALUE, got {lock!r}")
        if joint in kb.joint_names:
            index = kb.joint_names.index(joint)
        elif joint.isdigit() and 1 <= int(joint) <= kb.dof:
            index = int(joint) - 1
        else:
            raise UserError(f"--lock: {kb.name} has no joint {joint!r} (a name, or a number "
                            f"1 .. {kb.dof})")
        try:
            locked[index] = float(value)
        except ValueError:
            raise UserError(f"--lock: {value!r} is not a joint value") from None
    return locked


def closed_form_family(chain: kovi.Chain, locked: dict[int | str, float]) -> str | None:
    """The chain's closed-form family for this call, or None to solve numerically."""
    family: str = chain.kinematic_family
    if family == "7R":
        if len(locked) != 1:
            return None
        (index,) = locked
        lockable: dict[int, str] = chain.locked_families
        return lockable.get(index) if isinstance(index, int) else None
    if locked:
        raise UserError("--lock applies to a 7-joint arm solved in closed form")
    if family == "not 6R or 7R revolute":
        return None
    return family


def all_solutions_method(family: str) -> str:
    """How ik_all finds every solution of this family: a closed form, or a search."""
    return "search" if family == "general 6R" or family.endswith("search") else "closed form"


def run_ik(args: argparse.Namespace) -> None:
    robot = load_robot(args.robot, args.base_link, args.tip_link)
    kb = robot.body
    chain = kovi.Chain(kb)
    T = read_target(args)
    q0 = None
    if args.q0 is not None:
        if len(args.q0) != kb.dof:
            raise UserError(f"--q0: expected {kb.dof} joint values, got {len(args.q0)}")
        q0 = np.array(args.q0)
    locked = read_locks(args.lock or [], kb)
    family = None if args.numeric else closed_form_family(chain, locked)
    report: dict[str, object] = {"robot": kb.name, "pose": T.tolist()}
    try:
        if family is not None:
            solutions = chain.ik_all(T, locked=locked or None, tol=args.tol)
            if q0 is not None:   # nearest the given configuration first
                order = np.argsort(np.linalg.norm(solutions - q0, axis=1), kind="stable")
                solutions = solutions[order]
            report.update(method=all_solutions_method(family), family=family,
                          solutions=solutions.tolist())
            failure = None if len(solutions) else "no configuration reaches the pose"
        else:
            if locked:
                raise UserError("--lock applies to the closed-form solution; "
                                "the numerical solver moves every joint")
            result = chain.ik(T, q0, tol=args.tol)
            report.update(method="numerical", solutions=[result.q.tolist()] if result.success else [],
                          success=result.success, q=result.q.tolist(),
                          position_error=result.position_error,
                          rotation_error=result.rotation_error,
                          iterations=result.iterations, restarts=result.restarts)
            failure = None if result.success else (
                f"no solution found: the best configuration is {result.position_error:.3g} m "
                f"and {result.rotation_error:.3g} rad off the pose")
    except ValueError as exc:   # a target that is not a rigid transform, a bad lock
        raise UserError(str(exc)) from None
    if args.json:
        print(json.dumps(report))
    else:
        rows = report["solutions"]
        assert isinstance(rows, list)
        how = f"{all_solutions_method(family)}, {family}" if family is not None else "numerical"
        print(f"{kb.name}: {len(rows)} solution{'s' * (len(rows) != 1)} ({how}), "
              "joint values in radians and metres")
        for row in rows:
            print("  " + "  ".join(f"{v + 0.0:10.6f}" for v in row))
    if failure is not None:
        raise UserError(failure)


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> None:  # type: ignore[override]
        # one line, not the usage text
        self.exit(2, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="kovi", description="Forward kinematics of serial robot chains.")
    parser.add_argument("--version", action="version", version=f"kovi {kovi.__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def command(name: str, run: object, help: str) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=help, description=help)
        sub.set_defaults(run=run)
        sub.add_argument("robot", metavar="ROBOT|URDF",
                         help=f"a sample robot ({', '.join(robots.NAMES)}) or a URDF file")
        sub.add_argument("--base-link", help="URDF: the base link (default: the root link)")
        sub.add_argument("--tip-link", help="URDF: the end link (default: the only leaf)")
        return sub

    command("info", run_info, "print the chain's joints: type, axis, limits")
    fk = command("fk", run_fk, "print the base-to-end pose, or write a batch of poses")
    source = fk.add_mutually_exclusive_group(required=True)
    source.add_argument("--q", nargs="+", type=float, metavar="Q",
                        help="joint values, radians or metres")
    source.add_argument("--q-file", metavar="FILE",
                        help="a .npy or .csv file with one configuration a row")
    fk.add_argument("--json", action="store_true", help="print the pose as JSON")
    fk.add_argument("-o", "--output", metavar="POSES.npy",
                    help="with --q-file: where to write the (n, 4, 4) poses")
    fk.add_argument("--progress", action=argparse.BooleanOptionalAction, default=None,
                    help="show a progress bar (default: on a terminal, for a long batch)")
    ik = command("ik", run_ik, "print every configuration that reaches a pose (by closed form "
                 "or search for a 6R arm or a 7R arm with a joint locked, else one numerical "
                 "solution)")
    ik.add_argument("--pose", nargs="+", type=float, metavar="T",
                    help="the target: a 4x4 pose row by row (16 values, metres), or its top "
                         "three rows (12)")
    ik.add_argument("--xyz", nargs=3, type=float, metavar=("X", "Y", "Z"),
                    help="the target's position in metres (instead of --pose)")
    ik.add_argument("--rpy", nargs=3, type=float, metavar=("R", "P", "Y"),
                    help="with --xyz: roll, pitch, yaw in radians, R = Rz(Y) Ry(P) Rx(R) "
                         "(default 0 0 0)")
    ik.add_argument("--q0", nargs="+", type=float, metavar="Q",
                    help="a configuration to start from (numerical) or to list solutions "
                         "nearest to (closed form)")
    ik.add_argument("--lock", action="append", metavar="JOINT=VALUE",
                    help="a 7-joint arm: hold this joint (name or number) at this value and "
                         "solve the other six in closed form")
    ik.add_argument("--numeric", action="store_true",
                    help="solve numerically even where every solution can be found")
    ik.add_argument("--tol", type=float, default=1e-9,
                    help="how close to the pose, metres and radians (default 1e-9)")
    ik.add_argument("--json", action="store_true", help="print the solutions as JSON")
    plot = command("plot", run_plot, "draw the chain's joint frames in 3-D (needs matplotlib)")
    plot.add_argument("--q", nargs="+", type=float, metavar="Q",
                      help="joint values (default: a sample robot's sample configuration, "
                           "else zeros)")
    plot.add_argument("-o", "--output", required=True, metavar="IMAGE",
                      help="the image file (.png, .svg, .pdf)")
    return parser


def _is_number(arg: str) -> bool:
    try:
        float(arg)
    except ValueError:
        return False
    return True


# the options whose values are numbers, any of which may be negative
NUMBER_OPTIONS = ("--q", "--q0", "--pose", "--xyz", "--rpy")


def _protect_negative_numbers(argv: Sequence[str]) -> list[str]:
    # argparse takes a value "-1e-3" or "-inf" after --q (or another of
    # NUMBER_OPTIONS) for an option; a leading space keeps it a value.  Only
    # the values of those: a link name or a file name that looks like a
    # number is left as it is.
    out = []
    after_q = False
    for arg in argv:
        if arg.startswith("-") and _is_number(arg):
            if after_q:
                arg = " " + arg
        else:
            after_q = arg in NUMBER_OPTIONS or (after_q and not arg.startswith("-"))
        out.append(arg)
    return out


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line ``argv`` (default: the process's); returns the
    exit status."""
    args = build_parser().parse_args(
        _protect_negative_numbers(sys.argv[1:] if argv is None else argv))
    try:
        args.run(args)
        sys.stdout.flush()   # here, where a closed pipe is answered below
    except BrokenPipeError:
        # The reader has gone (kovi info ... | head -1): end quietly, as Unix
        # tools do, with nothing left to flush at exit.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
        return 128 + 13   # as a process ended by SIGPIPE
    except (UserError, URDFError, OSError) as exc:
        # The URDF reader names its own parameter; here it is the flag.
        message = str(exc).replace("pass tip_link", "pass --tip-link")
        print(f"kovi: error: {message}", file=sys.stderr)
        return 1
    return 0
