"""The kovi command line, and the README's examples run as written."""

import importlib.util
import json
import os
import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from helpers import NATIVE_CORE, REPO

import kovi
from kovi.cli import main
from kovi.kinematics.poe_fk import poe_forward_kinematics as fk

READY = ["0", "-0.785", "0", "-2.356", "0", "1.571", "0.785"]
BIN = Path(sys.executable).parent


def run(capsys, *argv):
    try:
        status = main(list(argv))
    except SystemExit as exc:  # the command line's own errors
        status = exc.code
    out, err = capsys.readouterr()
    return status, out, err


def test_fk_json_is_the_exact_pose(capsys):
    q = [0.1, -1e-3, 0.2, -2.0, 0.3, 1.5, -0.4]  # "-1e-3" is a value, not an option
    status, out, _ = run(capsys, "fk", "panda", "--json", "--q", *map(repr, q))
    assert status == 0
    assert json.loads(out) == {"robot": "panda", "q": q,
                               "pose": fk(kovi.robots.panda(), np.array(q)).tolist()}


def test_fk_batch_from_npy_and_csv(tmp_path, capsys):
    qs = np.random.default_rng(2).uniform(-2, 2, (5000, 4))
    np.save(tmp_path / "q.npy", qs)
    np.savetxt(tmp_path / "q.csv", qs, delimiter=",", fmt="%.17g")
    kb = kovi.robots.scara()
    expected = np.array([fk(kb, q) for q in qs])
    for source, progress in (("q.npy", "--progress"), ("q.csv", "--no-progress")):
        out_path = tmp_path / f"{source}.poses.npy"
        status, out, err = run(capsys, "fk", "scara", "--q-file", str(tmp_path / source),
                               "-o", str(out_path), progress)
        assert status == 0 and out == ""
        np.testing.assert_array_equal(np.load(out_path), expected)
        bar = "\rkovi fk: [" + "#" * 30 + "] 5000/5000 poses\n"
        assert (bar in err) == (progress == "--progress") and err.endswith(
            f"5000 poses of scara written to {out_path}\n")


@pytest.mark.parametrize("argv, status, error", [
    (["fk", "panda", "--q", *READY[:6]], 1, "kovi: error: expected 7 joint values, got 6"),
    (["fk", "panda", "--q", *READY, "0"], 1, "kovi: error: expected 7 joint values, got 8"),
    (["fk", "panda", "--q", *READY[:6], "nan"], 1, r"kovi: error: q\[6\] is nan"),
    (["fk", "panda"], 2, "kovi fk: error: one of the arguments --q --q-file is required"),
    (["info", "puma"], 1, "kovi: error: 'puma' is neither a sample robot .* nor a URDF file"),
    (["info", "BRANCHED"], 1, r"the tree branches below 'a'; pass --tip-link, one of: b, c"),
    (["fk", "scara", "--q-file", "Q.npy"], 1, "--q-file needs -o/--output"),
    (["fk", "scara", "--q-file", "Q.npy", "-o", "p.npy"], 1,
     r"Q.npy: expected rows of 4 joint values, got an array of shape \(2, 3\)"),
    (["fk", "scara", "--q-file", "NAN.csv", "-o", "p.npy"], 1, r"NAN.csv: row 1: q\[2\] is nan"),
    (["fk", "scara", "--q-file", "EMPTY.npy", "-o", "p.npy"], 1,
     "EMPTY.npy: cannot read joint values"),
    (["fk", "scara", "--q-file", "ARCHIVE.npy", "-o", "p.npy"], 1,
     "ARCHIVE.npy: expected a single array of joint values, got an archive"),
    (["info", "BRANCHED", "--tip-link", "-1"], 1, r"tip_link '-1' is not a <link>"),
    (["plot", "panda", "--q", "0", "-0.5", "-o", "p.png"], 1, "expected 7 joint values, got 2"),
    (["ik", "ur5"], 1, "kovi ik needs a target"),
    (["ik", "ur5", "--pose", "1", "0", "0"], 1, "--pose takes 16 values .* got 3"),
    (["ik", "ur5", "--pose", *"1 0 0 0 0 1 0 0 0 0 2 0".split()], 1,
     "T is not a rigid transform"),
    (["ik", "ur5", "--xyz", "0.3", "0", "nan"], 1, r"T is not a rigid transform: element \[2, 3\] is nan"),
    (["ik", "ur5", "--xyz", "0.3", "0", "0", "--q0", "0"], 1, "--q0: expected 6 joint values, got 1"),
    (["ik", "panda", "--xyz", "0.3", "0", "0.5", "--lock", "elbow=1"], 1,
     "panda has no joint 'elbow'"),
    (["ik", "panda", "--xyz", "0.3", "0", "0.5", "--lock", "1=x"], 1, "'x' is not a joint value"),
    (["ik", "ur5", "--xyz", "0.3", "0", "0.5", "--lock", "1=0"], 1, "--lock applies to a 7-joint"),
    # files that are not regular, or claim more than they hold
    (["fk", "scara", "--q-file", "FIFO.npy", "-o", "p.npy"], 1, "FIFO.npy: not a regular file"),
    (["fk", "scara", "--q-file", "ZERO.csv", "-o", "p.npy"], 1, "ZERO.csv: not a regular file"),
    (["fk", "scara", "--q-file", "HUGE.npy", "-o", "p.npy"], 1,
     r"HUGE.npy: the header claims an array of shape \(1000000000000, 4\)"),
    (["fk", "scara", "--q-file", "DEEP.npy", "-o", "p.npy"], 1, "DEEP.npy: cannot read joint values"),
    (["fk", "TWO", "--json", "--q", "1.7e308", "1.7e308"], 1, "the pose is not finite"),
    (["fk", "TWO", "--q", "1.7e308", "1.7e308"], 1, "the pose is not finite"),
])
def test_user_mistake_is_one_line(argv, status, error, tmp_path, monkeypatch, capsys):
    if argv[0] == "plot":  # without matplotlib the command stops before reading q
        pytest.importorskip("matplotlib")
    monkeypatch.chdir(tmp_path)
    np.save("Q.npy", np.zeros((2, 3)))
    Path("NAN.csv").write_text("0,0,0,0\n0,0,nan,0\n")
    Path("EMPTY.npy").write_bytes(b"")
    with open("ARCHIVE.npy", "wb") as archive:
        np.savez(archive, q=np.zeros((2, 4)))
    Path("BRANCHED").write_text("<robot name='r'><link name='a'/><link name='b'/><link name='c'/>"
                                "<joint name='j' type='revolute'><parent link='a'/><child link='b'/>"
                                "</joint><joint name='k' type='fixed'><parent link='a'/>"
                                "<child link='c'/></joint></robot>")
    os.mkfifo("FIFO.npy")
    os.symlink("/dev/zero", "ZERO.csv")
    header = "{'descr': '<f8', 'fortran_order': False, 'shape': %s, }"
    for name, shape in (("HUGE.npy", "(10**12, 4)".replace("10**12", str(10**12))),
                        ("DEEP.npy", "(1, " + "-" * 100_000 + "4)")):
        text = (header % shape).encode()
        Path(name).write_bytes(b"\x93NUMPY\x02\x00" + len(text).to_bytes(4, "little") + text)
    Path("TWO").write_text(TWO_SLIDES)
    argv = [a.replace("BRANCHED", str(tmp_path / "BRANCHED")).replace("TWO", str(tmp_path / "TWO"))
            for a in argv]
    got, out, err = run(capsys, *argv)
    assert (got, out) == (status, "")
    assert err.count("\n") == 1 and re.search(error, err), err


@pytest.mark.parametrize("robot, q, argv, method", [
    ("ur5", [0.3, -1.1, 1.2, -0.4, 0.9, 0.5], [], "closed form"),
    ("panda", [0.3, -0.4, 0.2, -2.1, 0.1, 1.9, 0.5], ["--lock", "panda_joint7=0.5"], "closed form"),
    ("panda", [0.3, -0.4, 0.2, -2.1, 0.1, 1.9, 0.5], [], "numerical"),
    ("scara", [0.4, -0.9, 0.12, 1.1], ["--q0", "0.3", "-0.8", "0.1", "1.0"], "numerical"),
    ("ur5", [0.3, -1.1, 1.2, -0.4, 0.9, 0.5], ["--numeric"], "numerical"),
])
def test_ik_prints_configurations_that_reach_the_pose(robot, q, argv, method, capsys):
    from ik_oracle import fk as oracle_fk, reaches
    kb = kovi.robots.body(robot)
    T = oracle_fk(kb, q)
    status, out, err = run(capsys, "ik", robot, "--pose", *map(repr, T.ravel().tolist()),
                           "--json", *argv)
    report = json.loads(out)
    assert (status, err, report["method"]) == (0, "", method)
    assert report["solutions"] and all(reaches(kb, row, T, 1e-8) for row in report["solutions"])
    if method == "closed form":   # the configuration that made the pose is among them
        assert min(np.abs(np.array(report["solutions"]) - q).max(axis=1)) < 1e-7
    status, plain, _ = run(capsys, "ik", robot, "--pose", *map(repr, T.ravel().tolist()), *argv)
    rows = [list(map(float, line.split())) for line in plain.splitlines()[1:]]
    assert status == 0 and np.allclose(rows, report["solutions"], atol=1e-6)


def test_ik_of_an_unreachable_pose_fails_with_one_line(capsys):
    status, out, err = run(capsys, "ik", "ur5", "--xyz", "3", "0", "0", "--json")
    assert (status, json.loads(out)["solutions"]) == (1, [])
    assert err == "kovi: error: no configuration reaches the pose\n"
    status, out, err = run(capsys, "ik", "scara", "--xyz", "3", "0", "0")
    assert status == 1 and err.startswith("kovi: error: no solution found: the best")
TWO_SLIDES = ("<robot name='r'>" + "".join(f"<link name='{n}'/>" for n in "abc") +
              "".join(f"<joint name='{j}' type='prismatic'><parent link='{p}'/><child link='{c}'/>"
                      "<axis xyz='1 0 0'/><limit lower='0' upper='1' effort='1' velocity='1'/>"
                      "</joint>" for j, p, c in (("j", "a", "b"), ("k", "b", "c"))) + "</robot>")


@pytest.mark.parametrize("text", ["\ufeff0,0,0,0\n1,0,0,0\n", ""])
def test_csv_with_a_byte_order_mark_or_empty_is_read_silently(text, tmp_path, capsys):
    (tmp_path / "q.csv").write_text(text, encoding="utf-8")
    status, out, err = run(capsys, "fk", "scara", "--q-file", str(tmp_path / "q.csv"),
                           "-o", str(tmp_path / "p.npy"))
    rows = text.count("\n")
    assert (status, out) == (0, "") and err == f"{rows} poses of scara written to {tmp_path / 'p.npy'}\n"
    assert np.load(tmp_path / "p.npy").shape == (rows, 4, 4)


def test_plot_names_the_file_it_wrote_and_refuses_what_it_cannot_draw(tmp_path, capsys):
    pytest.importorskip("matplotlib")
    status, _, err = run(capsys, "plot", "panda", "-o", str(tmp_path / "noext"))
    assert status == 0 and err == f"panda drawn to {tmp_path / 'noext.png'}\n"
    assert (tmp_path / "noext.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    (tmp_path / "two.urdf").write_text(TWO_SLIDES)
    status, _, err = run(capsys, "plot", str(tmp_path / "two.urdf"), "--q", "1.7e308", "1.7e308",
                         "-o", str(tmp_path / "far.png"))
    assert status == 1 and err.count("\n") == 1 and "too far apart to draw" in err


def test_a_closed_pipe_ends_the_command_quietly():
    child = subprocess.Popen([str(BIN / "kovi"), "info", "panda"], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE)
    child.stdout.close()   # the reader has gone before the first line
    err = child.stderr.read()
    assert (child.wait(timeout=120), err) == (141, b"")


def test_plot_writes_a_png(tmp_path, capsys):
    pytest.importorskip("matplotlib")
    status, _, err = run(capsys, "plot", "ur5", "--q", "0.3", "-1", "1", "0", "1", "0",
                         "-o", str(tmp_path / "ur5.png"))
    assert status == 0 and err == f"ur5 drawn to {tmp_path / 'ur5.png'}\n"
    assert (tmp_path / "ur5.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_plot_without_matplotlib_names_the_extra(tmp_path):
    done = subprocess.run([sys.executable, "-c", "import sys; sys.modules['matplotlib'] = None\n"
                           "from kovi.cli import main; sys.exit(main(['plot', 'panda', '-o', 'x.png']))"],
                          cwd=tmp_path, capture_output=True, text=True, timeout=120)
    assert (done.returncode, done.stdout) == (1, "")
    assert done.stderr == ("kovi: error: kovi plot needs matplotlib, the optional 'plot' extra: "
                           "pip install 'kovi[plot]'\n")


@pytest.mark.parametrize("command", [[str(BIN / "kovi")], [sys.executable, "-m", "kovi"]])
def test_console_script_and_module(command):
    done = subprocess.run([*command, "--version"], capture_output=True, text=True, timeout=120)
    assert (done.returncode, done.stdout) == (0, f"kovi {kovi.__version__}\n")


# ---- README examples ------------------------------------------------------------

README = (REPO / "README.md").read_text()
PYTHON_BLOCKS = re.findall(r"```python\n(.*?)```", README, re.S)
CONSOLE_BLOCKS = re.findall(r"```console\n(.*?)```", README, re.S)
# `kovi info`'s core line as the README shows it (3.12's), and as it says it
# reads on the other versions
CORE_LINES = (re.search(r"^core: .*$", README, re.M).group(),
              re.search(r"the `core:` line reads\n`(core: .*)`", README).group(1))


@pytest.mark.parametrize("code", PYTHON_BLOCKS,
                         ids=[f"python{i}" for i in range(len(PYTHON_BLOCKS))])
def test_readme_python_example(code, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    if "__main__" in code:
        # run as the script a reader would save it as: worker processes import it
        pytest.importorskip("distributed")
        (tmp_path / "example.py").write_text(code)
        done = subprocess.run([sys.executable, "example.py"], capture_output=True, text=True,
                              timeout=300)
        assert done.returncode == 0, done.stderr[-2000:]
        return
    exec(compile(code, "README.md", "exec"), {"__name__": "__readme__"})


@pytest.mark.parametrize("block", CONSOLE_BLOCKS,
                         ids=[f"console{i}" for i in range(len(CONSOLE_BLOCKS))])
def test_readme_console_example(block, tmp_path):
    # "$ command" lines, each followed by the output it must print; without
    # matplotlib the `kovi plot` lines are left out, the others still run
    env = dict(os.environ, PATH=f"{BIN}{os.pathsep}{os.environ['PATH']}")
    commands = re.findall(r"^\$ (.*)\n((?:(?!\$ ).*\n)*)", block, re.M)
    if importlib.util.find_spec("matplotlib") is None:
        commands = [c for c in commands if not c[0].startswith("kovi plot")]
    assert commands
    for command, shown in commands:
        done = subprocess.run(command, shell=True, cwd=tmp_path, env=env, capture_output=True,
                              text=True, timeout=120)
        assert done.returncode == 0, (command, done.stderr)
        if not NATIVE_CORE:
            shown = shown.replace(*CORE_LINES)
        assert done.stdout + done.stderr == shown, command
