"""The Python module against plain numpy tests of the same rays, across
thread counts, on bad input, pickled, and against the C++ renderer."""
import copyreg
import os
import pathlib
import pickle
import signal
import subprocess
import sys
import threading
import time
import warnings

import numpy as np
import pytest

import vantrel

MESH = os.environ["VANTREL_TEST_MESH"]
BENCH = os.environ.get("VANTREL_BENCH")


def reference_triangles(vertices, faces, origins, directions):
    """Nearest hit of every ray over every triangle, in float64: t, face, u, v."""
    v0, v1, v2 = (vertices[faces[:, k]].astype(np.float64) for k in range(3))
    e1, e2 = v1 - v0, v2 - v0
    o = origins[:, None, :].astype(np.float64)
    d = directions[:, None, :].astype(np.float64)
    p = np.cross(d, e2[None])
    det = np.einsum("rmk,mk->rm", p, e1)
    with np.errstate(divide="ignore", invalid="ignore"):
        inv = 1.0 / det
        s = o - v0[None]
        u = np.einsum("rmk,rmk->rm", s, p) * inv
        q = np.cross(s, e1[None])
        v = np.einsum("rmk,rmk->rm", d, q) * inv
        t = np.einsum("mk,rmk->rm", e2, q) * inv
        hit = (det != 0) & (u >= 0) & (v >= 0) & (u + v <= 1) & (t >= 0)
    t = np.where(hit, t, np.inf)
    face = np.argmin(t, axis=1)
    rows = np.arange(len(origins))
    return t[rows, face], np.where(np.isfinite(t[rows, face]), face, -1), u[rows, face], v[rows, face]


def random_rays(count, seed):
    rng = np.random.default_rng(seed)
    origins = rng.uniform(-3, 3, (count, 3))
    targets = rng.uniform(-0.8, 0.8, (count, 3))
    directions = (targets - origins) * rng.uniform(0.1, 10, (count, 1))
    directions[rng.random((count, 3)) < 0.1] = 0.0  # zero components too
    directions[np.all(directions == 0, axis=1)] = (0.0, 0.0, 1.0)
    return origins, directions


def mesh_arrays():
    rows = np.loadtxt(MESH).reshape(-1, 3)
    return rows.astype(np.float32), np.arange(len(rows)).reshape(-1, 3)


def test_hits_match_a_plain_test_of_every_triangle_and_sphere():
    vertices, faces = mesh_arrays()
    # As the scene takes them, so that the reference sees the same rays.
    origins, directions = (a.astype(np.float32) for a in random_rays(2000, 1))
    for method in (0, 1, 2):
        hits = vantrel.Scene(vertices, faces, method).intersect(origins, directions)
        t, face, u, v = reference_triangles(vertices, faces, origins, directions)
        # Rays that graze an edge may go either way in float; the rest agree.
        clear = ~np.isfinite(t) | ((u > 1e-4) & (v > 1e-4) & (u + v < 1 - 1e-4))
        assert clear.sum() > 1900
        assert np.array_equal(hits.prim[clear], face[clear])
        both = clear & (face >= 0)
        assert both.sum() > 300
        assert np.allclose(hits.t[both], t[both], rtol=1e-5)
        # The weights are the exact ones, rounded once to float.
        assert np.allclose(hits.u[both], u[both], rtol=0, atol=1e-7)
        assert np.allclose(hits.v[both], v[both], rtol=0, atol=1e-7)
        assert np.allclose(np.linalg.norm(hits.normal[both], axis=1), 1, atol=1e-6)
    rng = np.random.default_rng(2)
    centres, radii = rng.uniform(-1, 1, (40, 3)), rng.uniform(0.05, 0.3, 40)
    hits = vantrel.Scene.spheres(centres, radii).intersect(origins, directions)
    oc = origins[:, None] - centres[None]
    a = np.einsum("rk,rk->r", directions, directions)[:, None]
    b = np.einsum("rmk,rk->rm", oc, directions)
    c = np.einsum("rmk,rmk->rm", oc, oc) - radii[None] ** 2
    disc = b * b - a * c
    with np.errstate(invalid="ignore"):
        near, far = (-b - np.sqrt(disc)) / a, (-b + np.sqrt(disc)) / a
    t = np.where(disc >= 0, np.where(near >= 0, near, np.where(far >= 0, far, np.inf)), np.inf)
    expected = np.where(np.isfinite(t.min(axis=1)), t.argmin(axis=1), -1)
    assert np.array_equal(hits.prim, expected)
    assert np.allclose(hits.t[expected >= 0], t.min(axis=1)[expected >= 0], rtol=1e-4)
    assert (hits.u == 0).all() and (hits.v == 0).all()


def test_every_thread_count_gives_the_same_arrays_and_occlusion_agrees():
    vertices, faces = mesh_arrays()
    scene = vantrel.Scene(vertices, faces, 1)
    origins, directions = random_rays(5000, 3)
    one = scene.intersect(origins, directions, threads=1)
    # float64 rays, read in place and rounded per ray, as float32 copies of them
    as32 = scene.intersect(origins.astype(np.float32), directions.astype(np.float32), threads=1)
    for other in [as32] + [scene.intersect(origins, directions, threads=n) for n in (2, 3, None)]:
        for name in ("t", "prim", "u", "v", "normal"):
            assert np.array_equal(getattr(one, name), getattr(other, name), equal_nan=True)
    for tfar in (0.5, 2.0, np.inf):
        occluded = scene.occluded(origins, directions, tfar=tfar, threads=2)
        assert np.array_equal(occluded, np.isfinite(one.t) & (one.t <= tfar))
    # Runs of rays from one point, as occlusion samples come, walk together.
    fan_origins = np.repeat(origins[:400], 20, axis=0)
    fan_directions = random_rays(8000, 4)[1]
    fan = scene.intersect(fan_origins, fan_directions)
    for tfar in (0.5, np.inf):
        occluded = scene.occluded(fan_origins, fan_directions, tfar=tfar)
        assert np.array_equal(occluded, np.isfinite(fan.t) & (fan.t <= tfar))
    segment = scene.intersect(origins, directions, tnear=1.0, tfar=3.0)
    assert ((segment.t >= 1) & (segment.t <= 3) | np.isinf(segment.t)).all()


def test_hits_name_the_files_faces(tmp_path):
    path = tmp_path / "strip.obj"
    corners = "".join(f"v {x} {y} 0\n" for y in (0, 1) for x in (0, 1, 2, 3))
    path.write_text(corners + "f 1 2 6 5\nf 2 3 7 6\nf 3 4 8\n")  # two quads, a triangle
    scene = vantrel.Scene.load(str(path))
    assert scene.triangle_count == 5
    origins = np.array([[0.25, 0.75, 1], [0.75, 0.25, 1], [1.25, 0.75, 1], [2.75, 0.25, 1]] * 300)
    directions = np.tile([0.0, 0.0, -1.0], (len(origins), 1))
    for threads in (1, 3):
        assert (scene.intersect(origins, directions, threads=threads).prim == [0, 0, 1, 2] * 300).all()


def test_results_held_stay_as_returned_while_later_calls_reuse_memory():
    vertices, faces = mesh_arrays()
    scene = vantrel.Scene(vertices, faces, 2)
    batches = [random_rays(count, seed) for count, seed in ((4000, 7), (3000, 8), (2500, 9), (4000, 10))]
    fields = ("t", "prim", "u", "v", "normal")
    expected = [{name: getattr(scene.intersect(o, d), name).copy() for name in fields} for o, d in batches]
    held = scene.intersect(*batches[0])
    for turn in range(3):  # freed results are taken up again by later calls, smaller or not
        for k, (o, d) in enumerate(batches[1:], 1):
            hits = scene.intersect(o, d, threads=1 + turn)
            for name in fields:
                assert np.array_equal(getattr(hits, name), expected[k][name], equal_nan=True)
            del hits
    for name in fields:
        assert np.array_equal(getattr(held, name), expected[0][name], equal_nan=True)
    assert held.t.flags.writeable and held.normal.shape == (4000, 3)
    one = held.prim
    del held  # an array outlives the results it came with
    scene.intersect(*batches[3])
    assert np.array_equal(one, expected[0]["prim"])


def test_bad_input_raises_with_the_reason():
    vertices, faces = mesh_arrays()
    cases = [
        (lambda: vantrel.Scene(vertices[:, :2], faces), ValueError, "shape"),
        (lambda: vantrel.Scene(vertices, faces[:, :2]), ValueError, "(M, 3)"),
        (lambda: vantrel.Scene(vertices, faces + len(vertices)), ValueError, "960 indices"),
        (lambda: vantrel.Scene(vertices, -faces - 1), ValueError, "negative"),
        (lambda: vantrel.Scene(vertices * np.nan, faces), ValueError, "2880 coordinates"),
        (lambda: vantrel.Scene(vertices, faces[:0]), ValueError, "empty"),
        (lambda: vantrel.Scene(vertices, faces, 7), ValueError, "method"),
        (lambda: vantrel.Scene("x", faces), TypeError, "numbers"),
        (lambda: vantrel.Scene.load(MESH + ".missing"), ValueError, "No such file"),
        (lambda: vantrel.Scene.spheres(np.zeros((2, 3)), np.ones(3)), ValueError, "as many"),
    ]
    for make, error, reason in cases:
        with pytest.raises(error, match=reason.replace("(", r"\(").replace(")", r"\)")):
            make()
    # Not contiguous, read-only, another dtype: taken, as copies.
    frozen = np.asfortranarray(vertices.astype(np.float64))
    frozen.flags.writeable = False
    scene = vantrel.Scene(frozen, faces.astype(np.int32))
    origins, directions = random_rays(100, 4)
    assert np.array_equal(scene.intersect(origins[::1], directions).prim,
                          vantrel.Scene(vertices, faces).intersect(origins, directions).prim)
    with pytest.raises(ValueError, match="as many rows"):
        scene.intersect(origins, directions[:5])


def test_a_pickled_scene_answers_as_the_original():
    origins, directions = random_rays(500, 5)
    for scene in (vantrel.Scene.load(MESH, 2), vantrel.Scene.spheres(np.eye(3), np.ones(3) / 4)):
        copy = pickle.loads(pickle.dumps(scene))
        assert copy.method == scene.method
        a, b = scene.intersect(origins, directions), copy.intersect(origins, directions)
        assert np.array_equal(a.t, b.t) and np.array_equal(a.prim, b.prim)
    # A state whose face indices do not cover the triangles is refused.
    state = vantrel.Scene.load(MESH).__getstate__()
    with pytest.raises(ValueError, match="face indices"):
        vantrel.Scene.__new__(vantrel.Scene).__setstate__(state[:4] + ([0, 1],))


@pytest.mark.skipif(not BENCH, reason="the benchmark is not built")
def test_a_rendered_image_is_the_benchmarks_through_the_hierarchy(tmp_path):
    eye, target, fov = (2.5, 1.5, -3.0), (0.0, 0.1, 0.0), 40.0
    image = vantrel.Scene.load(MESH).render(96, 64, eye=eye, target=target, fov=fov, threads=2)
    out = tmp_path / "frame.ppm"
    camera = ",".join(str(x) for x in (*eye, *target, fov))
    subprocess.run([BENCH, "--mesh-as-is", MESH, "--light", "model", "--frames", "1", "--size",
                    "96x64", "--camera", camera, "--out", str(out)], check=True, capture_output=True)
    data = out.read_bytes()
    assert data.startswith(b"P6\n96 64\n255\n")
    assert image.shape == (64, 96, 3) and image.max() > 0
    assert np.array_equal(image, np.frombuffer(data[len(b"P6\n96 64\n255\n"):], np.uint8).reshape(64, 96, 3))


def test_a_local_cluster_of_two_workers_gets_the_arrays_of_one_process():
    distributed = pytest.importorskip("distributed")
    scene = vantrel.Scene.load(MESH)
    origins, directions = random_rays(4000, 6)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        remote = client.scatter(scene, broadcast=True)
        parts = [client.submit(lambda s, o, d: s.intersect(o, d, threads=1).t, remote,
                               origins[i:i + 1000], directions[i:i + 1000])
                 for i in range(0, 4000, 1000)]
        t = np.concatenate(client.gather(parts))
    assert np.array_equal(t, scene.intersect(origins, directions).t)


def test_a_scene_is_made_once_and_its_pickled_state_is_checked():
    vertices, faces = mesh_arrays()
    unmade = [vantrel.Scene.__new__(vantrel.Scene), copyreg.__newobj__(vantrel.Scene)]
    calls = [lambda s: s.render(8, 8), lambda s: s.bounds, lambda s: s.triangle_count,
             lambda s: s.intersect([[0, 0, 0]], [[0, 0, 1]]), lambda s: s.occluded([[0, 0, 0]], [[0, 0, 1]]),
             lambda s: pickle.dumps(s)]
    for scene in unmade:
        for call in calls:
            with pytest.raises(TypeError, match="not initialised"):
                call(scene)
    scene = vantrel.Scene(vertices, faces)
    with pytest.raises(TypeError, match="already made"):
        scene.__init__(vertices[:3], [[0, 1, 2]])
    with pytest.raises(TypeError, match="already made"):
        scene.__setstate__(vantrel.Scene.spheres(np.eye(3), np.ones(3)).__getstate__())
    assert scene.triangle_count == 320
    good = scene.__getstate__()
    v, f = vertices[:3], np.array([[0, 1, 2]])
    bad_states = [
        ("cubes", v, f, 0, []), (3, v, f, 0, []), ("triangles", v, f, 0), (), "triangles",
        ("triangles", v, f, "1", []), ("triangles", v, f, True, []), ("triangles", v, f, 3, []),
        ("triangles", v, f.astype(float) + 0.5, 0, []), ("triangles", v, f + 3, 0, []),
        ("triangles", v, f, 0, [-1]), ("triangles", v, f, 0, [2 ** 32]), ("triangles", v, f, 0, [0.5]),
        ("triangles", v, f, 0, [0, 0]), ("triangles", v[:, :2], f, 0, []),
        ("spheres", v, np.ones(2), 0), ("spheres", v, -np.ones(3), 0), ("spheres", v, np.ones(3), 0, []),
    ]
    for state in bad_states:
        with pytest.raises((TypeError, ValueError)) as refused:
            vantrel.Scene.__new__(vantrel.Scene).__setstate__(state)
        assert "Unable to cast" not in str(refused.value), state
    copy = vantrel.Scene.__new__(vantrel.Scene)
    copy.__setstate__(good)
    assert copy.triangle_count == 320 and copy.method == 0


def test_input_is_taken_strictly_and_refused_with_its_reason(tmp_path):
    vertices, faces = mesh_arrays()
    scene = vantrel.Scene(vertices, faces)
    origins, directions = random_rays(10, 11)
    cases = [
        (lambda: vantrel.Scene(vertices, faces + 0.7), TypeError, "integers"),
        (lambda: vantrel.Scene(vertices, [[0, 1, 2.7]]), TypeError, "integers"),
        (lambda: vantrel.Scene(vertices, faces.astype(bool)), TypeError, "integers"),
        (lambda: vantrel.Scene.load(MESH + "\0garbage"), ValueError, "NUL"),
        (lambda: vantrel.Scene.load(3), TypeError, "PathLike"),
        (lambda: scene.intersect(origins, directions, threads=1.5), TypeError, "whole number"),
        (lambda: scene.intersect(origins, directions, threads=True), TypeError, "whole number"),
        (lambda: scene.occluded(origins, directions, threads=0), ValueError, "positive"),
        (lambda: scene.render(8, 8, threads=-(10 ** 30)), ValueError, "positive"),
        (lambda: scene.render(8, 8, fov="45"), TypeError, "degrees"),
    ]
    for make, error, reason in cases:
        with pytest.raises(error, match=reason):
            make()
    # numpy's own MemoryError, for a copy it cannot make, comes through.
    huge = np.broadcast_to(np.zeros(3, np.int64), (2 ** 40, 3))
    with pytest.raises(MemoryError):
        vantrel.Scene(vertices, huge)
    with pytest.raises(MemoryError, match="origins"):
        scene.intersect(np.broadcast_to(np.zeros(3), (2 ** 40, 3)), np.broadcast_to(np.ones(3), (2 ** 40, 3)))
    assert vantrel.Scene.load(pathlib.Path(MESH)).triangle_count == 320
    assert vantrel.Scene.load(os.fsencode(MESH)).triangle_count == 320
    assert np.array_equal(scene.intersect(origins, directions, threads=10 ** 30).t,
                          scene.intersect(origins, directions, threads=np.int64(1)).t)


FORKED_CALLS = """
import os, signal, sys, numpy as np, multiprocessing, vantrel
scene = vantrel.Scene.load(sys.argv[1])
o, d = np.array([[0, 0, -4.0]]), np.array([[0, 0, 1.0]])
def answers(_=None):
    return (float(scene.intersect(o, d).t[0]), bool(scene.occluded(o, d, threads=3)[0]),
            int(scene.render(16, 16, threads=2).sum()))
parent = answers()
pid = os.fork()
if pid == 0:
    signal.alarm(10)
    os._exit(0 if answers() == parent else 1)
_, status = os.waitpid(pid, 0)
assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0, status
with multiprocessing.get_context("fork").Pool(2) as pool:
    assert pool.map_async(answers, range(4)).get(timeout=20) == [parent] * 4
print("forked", parent[1])
"""

DAEMON_AT_EXIT = """
import sys, threading, time, numpy as np, vantrel
rng = np.random.default_rng(0)
scene = vantrel.Scene.spheres(rng.random((2000, 3)) * 50, np.full(2000, 0.5), method=1)
o, d = rng.random((1_000_000, 3)) * 50, rng.normal(size=(1_000_000, 3))
soup = vantrel.Scene(rng.random((60000, 3)), np.arange(60000).reshape(-1, 3))
work = {"intersect": lambda: scene.intersect(o, d, threads=2), "render": lambda: scene.render(1024, 1024, threads=2),
        "build": lambda: soup.render(8, 8)}[sys.argv[1]]
def loop():
    while True:
        work()
threading.Thread(target=loop, daemon=True).start()
time.sleep(0.4)
sys.exit(7)
"""


def test_forked_children_and_exiting_interpreters_with_pools_in_use():
    env = dict(os.environ)
    done = subprocess.run([sys.executable, "-c", FORKED_CALLS, MESH], env=env, capture_output=True,
                          text=True, timeout=60)
    assert done.returncode == 0 and "forked True" in done.stdout, done.stderr
    for work in ("intersect", "render", "build"):
        done = subprocess.run([sys.executable, "-c", DAEMON_AT_EXIT, work], env=env,
                              capture_output=True, text=True, timeout=60)
        assert done.returncode == 7, (work, done.returncode, done.stderr)
        assert "Traceback" not in done.stderr, done.stderr
    # A sweep of thread counts keeps one pool beside every core's.
    scene = vantrel.Scene.load(MESH)
    origins, directions = random_rays(50, 12)
    before = len(os.listdir("/proc/self/task"))
    for threads in range(1, 41):
        scene.intersect(origins, directions, threads=threads)
        scene.render(8, 8, threads=threads)
    assert len(os.listdir("/proc/self/task")) - before <= 40


LIMITED_MEMORY = """
import resource, sys, numpy as np, vantrel
scene = vantrel.Scene.load(sys.argv[1])
held = next(int(line.split()[1]) for line in open("/proc/self/status") if line.startswith("VmSize"))
bound = (held << 10) + (1500 << 20)
resource.setrlimit(resource.RLIMIT_AS, (bound, bound))
rays = np.zeros((40_000_000, 3), np.float32)
for call in (lambda: scene.render(16384, 16384), lambda: scene.render(12000, 9000),
             lambda: scene.intersect(rays, rays),
             lambda: vantrel.Scene.spheres(np.zeros((20_000_000, 3)), np.ones(20_000_000))):
    try:
        call()
        print("taken")
    except MemoryError as error:
        print(error)
"""


def test_memory_is_weighed_before_a_frame_or_results_take_it():
    done = subprocess.run([sys.executable, "-c", LIMITED_MEMORY, MESH], capture_output=True, text=True,
                          timeout=60)
    lines = done.stdout.splitlines()
    assert done.returncode == 0 and len(lines) == 4, done.stderr
    assert "rendering 16384x16384" in lines[0] and "address-space limit" in lines[0]
    assert "rendering 12000x9000" in lines[1] and "MiB" in lines[1]
    # The rays fit; their results (40 bytes a ray) would not.
    assert lines[2].startswith("the results of 40000000 rays: about 1526 MiB"), lines[2]
    # An allocation that fails says what was left.
    assert "MiB" in lines[3] and "bad_alloc" not in lines[3], lines[3]


def test_render_refuses_a_camera_it_cannot_aim_and_warns_of_a_black_frame():
    scene = vantrel.Scene.load(MESH)
    for eye, target, fov in (([3e38] * 3, [-3e38] * 3, None), ([1e-45, 0, 0], [0, 0, 0], None),
                             ([1e38, 0, 0], [-1e38, 0, 0], None), (None, None, 1e-30)):
        with pytest.raises(ValueError, match="aim|frame"):
            scene.render(8, 8, eye=eye, target=target, fov=fov)
    with pytest.warns(RuntimeWarning, match="entirely black"):
        assert scene.render(8, 8, eye=[0, 0, -5], target=[0, 0, -9]).max() == 0
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert scene.render(8, 8).max() > 0


def test_shapes_beyond_the_range_of_the_tests_are_refused_and_those_within_are_hit():
    for size in (1e3, 1e9, 5e11):
        triangle = np.array([[-size, -size, 3], [size, -size, 3], [0, size, 3]])
        scene = vantrel.Scene(triangle, [[0, 1, 2]])
        hits = scene.intersect([[100, 100, 10]], [[0, 0, -1]])
        assert hits.t[0] == pytest.approx(7) and scene.occluded([[100, 100, 10]], [[0, 0, -1]])[0]
        spheres = vantrel.Scene.spheres([[0, 0, 0]], [size])
        assert spheres.intersect([[0, 0, -3 * size]], [[0, 0, 1]]).t[0] == pytest.approx(2 * size)
        # Toward the centre: the direction's length does not matter.
        assert spheres.intersect([[0, 0, -3 * size]], [[0, 0, 3 * size]]).t[0] == pytest.approx(2 / 3)
        assert spheres.occluded([[0, 0, -3 * size]] * 3, [[0, 0, 3 * size]] * 3, tfar=0.6).sum() == 0
    with pytest.raises(ValueError, match="1 triangle has a corner beyond"):
        vantrel.Scene(np.array([[-1e19, -1e19, 3], [1e19, -1e19, 3], [0, 1e19, 3]]), [[0, 1, 2]])
    with pytest.raises(ValueError, match="2 spheres reach beyond"):
        vantrel.Scene.spheres([[0, 0, 0], [1, 1, 1], [3e38, 0, 0]], [2e19, 1, 1])


def test_overlapping_copies_render_at_once_through_the_hierarchy():
    # 200,000 copies of one triangle: a kd-tree's midpoint split would copy
    # them into every cell; the hierarchy holds each once.
    rng = np.random.default_rng(3)
    corners = rng.random((3, 3))
    copies = vantrel.Scene(corners, np.zeros((200_000, 3), int) + [0, 1, 2])
    start = time.monotonic()
    image = copies.render(8, 8, eye=[0.5, 0.5, -3], target=corners.mean(axis=0))
    assert image.shape == (8, 8, 3) and image.max() > 0
    assert time.monotonic() - start < 5
