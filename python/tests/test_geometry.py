"""Scenes of several meshes, spheres and instances against plain float64
numpy computations of the same questions: hits, counts, closest points,
inside or outside, at scales from 0.001 to 1000; moved vertices against a
scene built anew; pickles; refusals."""
import pickle

import numpy as np
import pytest

import vantrel

from test_vantrel import MESH


def icosphere():
    rows = np.loadtxt(MESH).reshape(-1, 3)
    return rows, np.arange(len(rows)).reshape(-1, 3)


def rotation(angle, axis):
    axis = np.asarray(axis, float) / np.linalg.norm(axis)
    k = np.array([[0, -axis[2], axis[1]], [axis[2], 0, -axis[0]], [-axis[1], axis[0], 0]])
    return np.eye(3) + np.sin(angle) * k + (1 - np.cos(angle)) * k @ k


def affine(linear, move):
    m = np.eye(4)
    m[:3, :3], m[:3, 3] = linear, move
    return m


def world(points, m):
    return points @ m[:3, :3].T + m[:3, 3]


class Reference:
    """Every shape of a scene where it puts it, in float64."""

    def __init__(self, scale):
        vertices, faces = icosphere()
        self.vertices, self.faces = vertices * scale, faces
        rng = np.random.default_rng(4)
        self.centres = np.c_[rng.uniform(-4, 4, 12), rng.uniform(2, 3, 12), rng.uniform(-4, 4, 12)] * scale
        self.radii = rng.uniform(0.2, 0.45, 12) * scale
        self.turned = affine(0.6 * rotation(0.8, [1, 2, 0.5]), [2.5 * scale, 0, 0])
        self.sheared = affine(np.array([[-0.7, 0.2, 0], [0, 0.5, 0.1], [0.2, 0, 0.8]]), [-2.6 * scale, 0.1 * scale, 0])
        self.grown = affine(1.1 * rotation(2.0, [0, 1, 1]), [0, -5.5 * scale, 0])
        scene = vantrel.Scene()
        assert scene.add_triangles(self.vertices, faces) == 0
        assert scene.add_spheres(self.centres, self.radii) == 1
        assert scene.add_instance(0, self.turned) == 2
        assert scene.add_instance(0, self.sheared) == 3
        assert scene.add_instance(1, self.grown) == 4
        self.scene = scene
        # Triangles (geometry, face, corners) and spheres (geometry, index, centre, radius).
        mirrored = np.linalg.det(self.sheared[:3, :3]) < 0
        self.triangles = []
        for geom, m in ((0, np.eye(4)), (2, self.turned), (3, self.sheared)):
            self.triangles.append((geom, world(self.vertices, m)[faces]))
        self.mirrored = {3: mirrored}
        stretch = np.cbrt(abs(np.linalg.det(self.grown[:3, :3])))
        self.spheres = [(1, self.centres, self.radii), (4, world(self.centres, self.grown), self.radii * stretch)]

    def hits(self, origins, directions, tnear, tfar):
        """Every hit of every ray: (t, geom, prim) arrays of shape (rays, shapes), and how near an edge."""
        ts, geoms, prims, edges = [], [], [], []
        o, d = origins[:, None], directions[:, None]
        for geom, corners in self.triangles:
            v0, e1, e2 = corners[:, 0], corners[:, 1] - corners[:, 0], corners[:, 2] - corners[:, 0]
            p = np.cross(d, e2[None])
            det = np.einsum("rmk,mk->rm", p, e1)
            with np.errstate(divide="ignore", invalid="ignore"):
                s = o - v0[None]
                u = np.einsum("rmk,rmk->rm", s, p) / det
                q = np.cross(s, e1[None])
                v = np.einsum("rmk,rmk->rm", d, q) / det
                t = np.einsum("mk,rmk->rm", e2, q) / det
            edge = np.minimum(np.minimum(u, v), 1 - u - v)
            ts.append(np.where(edge >= 0, t, np.nan))
            edges.append(np.abs(edge))
            geoms.append(np.full(t.shape, geom))
            prims.append(np.broadcast_to(np.arange(len(corners)), t.shape))
        for geom, centres, radii in self.spheres:
            f = o - centres[None]
            a = np.einsum("rmk,rmk->rm", d, d)
            b = np.einsum("rmk,rmk->rm", f, d)
            c = np.einsum("rmk,rmk->rm", f, f) - radii[None] ** 2
            disc = b * b - a * c
            with np.errstate(invalid="ignore"):
                for sign in (-1, 1):
                    ts.append(np.where(disc >= 0, (-b + sign * np.sqrt(disc)) / a, np.nan))
                    edges.append(np.abs(disc) / (b * b + np.abs(a * c)))
                    geoms.append(np.full(disc.shape, geom))
                    prims.append(np.broadcast_to(np.arange(len(centres)), disc.shape))
        t, geom, prim, edge = (np.concatenate(x, axis=1) for x in (ts, geoms, prims, edges))
        inside = (t >= tnear[:, None]) & (t <= tfar[:, None])
        near_end = np.isclose(t, tnear[:, None], rtol=1e-5) | np.isclose(t, tfar[:, None], rtol=1e-5)
        clear = ~np.any(np.isfinite(t) & ((edge < 1e-5) | near_end), axis=1)
        return np.where(inside, t, np.inf), geom, prim, clear

    def closest(self, points):
        """The distance to every shape, with its geometry and index."""
        ds, geoms, prims = [], [], []
        for geom, corners in self.triangles:
            ds.append(triangle_distances(points, corners))
            geoms.append(np.full(ds[-1].shape, geom))
            prims.append(np.broadcast_to(np.arange(len(corners)), ds[-1].shape))
        for geom, centres, radii in self.spheres:
            ds.append(np.abs(np.linalg.norm(points[:, None] - centres[None], axis=2) - radii[None]))
            geoms.append(np.full(ds[-1].shape, geom))
            prims.append(np.broadcast_to(np.arange(len(centres)), ds[-1].shape))
        return (np.concatenate(x, axis=1) for x in (ds, geoms, prims))

    def inside(self, points):
        """Inside the convex icosphere or its copies, or a sphere: none overlap."""
        inside = np.zeros(len(points), bool)
        for geom, corners in self.triangles:
            n = np.cross(corners[:, 1] - corners[:, 0], corners[:, 2] - corners[:, 0])
            if self.mirrored.get(geom):
                n = -n
            side = np.einsum("mk,rmk->rm", n, points[:, None] - corners[None, :, 0])
            inside |= np.all(side < 0, axis=1)
        for _, centres, radii in self.spheres:
            inside |= np.any(np.linalg.norm(points[:, None] - centres[None], axis=2) < radii[None], axis=1)
        return inside


def triangle_distances(points, corners):
    """Distance from each point to each triangle: the plane's foot inside, else the nearest side."""
    a, b, c = corners[:, 0], corners[:, 1], corners[:, 2]
    n = np.cross(b - a, c - a)
    p = points[:, None]
    height = np.einsum("rmk,mk->rm", p - a[None], n) / np.einsum("mk,mk->m", n, n)
    foot = p - height[..., None] * n[None]
    inside = np.ones(height.shape, bool)
    for x, y in ((a, b), (b, c), (c, a)):
        inside &= np.einsum("rmk,mk->rm", np.cross(y - x, foot - x[None]), n) >= 0
    best = np.where(inside, np.linalg.norm(p - foot, axis=2), np.inf)
    for x, y in ((a, b), (b, c), (c, a)):
        side = y - x
        w = np.clip(np.einsum("rmk,mk->rm", p - x[None], side) / np.einsum("mk,mk->m", side, side), 0, 1)
        best = np.minimum(best, np.linalg.norm(p - (x[None] + w[..., None] * side[None]), axis=2))
    return best


@pytest.mark.parametrize("scale", [0.001, 1.0, 1000.0])
def test_several_geometries_answer_as_float64_numpy_does(scale):
    ref = Reference(scale)
    rng = np.random.default_rng(int(scale * 1000) + 1)
    origins = rng.uniform(-5, 5, (600, 3)) * scale
    targets = rng.uniform(-3.5, 3.5, (600, 3)) * scale
    directions = (targets - origins) * rng.uniform(0.3, 3, (600, 1))
    tnear = np.where(rng.random(600) < 0.3, rng.uniform(0.1, 0.4, 600), 0.0)
    tfar = np.where(rng.random(600) < 0.3, rng.uniform(0.5, 1.0, 600), np.inf)
    rays = np.concatenate([origins, directions], axis=1).reshape(20, 30, 6)
    hits = ref.scene.intersect(rays, tnear=tnear.reshape(20, 30), tfar=tfar.reshape(20, 30), threads=2)
    assert hits.t.shape == (20, 30) and hits.normal.shape == (20, 30, 3) and hits["geom"].shape == (20, 30)
    counts = ref.scene.count_intersections(rays, tnear=tnear.reshape(20, 30), tfar=tfar.reshape(20, 30))
    occluded = ref.scene.occluded(origins, directions, tnear=tnear, tfar=tfar)
    t, geom, prim, clear = ref.hits(origins, directions, tnear, tfar)
    first = np.argmin(t, axis=1)
    rows = np.arange(len(t))
    nearest = t[rows, first]
    second = np.partition(t, 1, axis=1)[:, 1]
    with np.errstate(invalid="ignore"):
        clear &= ~(np.isfinite(nearest) & (second - nearest < 1e-4 * nearest))
    assert clear.sum() > 500
    hit = clear & np.isfinite(nearest)
    assert hit.sum() > 100 and len(set(geom[rows, first][hit])) == 5
    flat = {name: getattr(hits, name).reshape(600, *getattr(hits, name).shape[2:]) for name in ("t", "geom", "prim")}
    assert np.array_equal(flat["geom"][clear], np.where(np.isfinite(nearest), geom[rows, first], -1)[clear])
    assert np.array_equal(flat["prim"][hit], prim[rows, first][hit])
    assert np.allclose(flat["t"][hit], nearest[hit], rtol=1e-5, atol=0)
    assert np.array_equal(occluded[clear], np.isfinite(nearest)[clear])
    assert np.array_equal(counts.reshape(600)[clear], np.isfinite(t).sum(axis=1)[clear])

    points = np.r_[rng.uniform(-5, 5, (150, 3)), rng.uniform(-1.1, 1.1, (150, 3))] * scale
    closest = ref.scene.closest_points(points.reshape(10, 30, 3))
    assert closest.point.shape == (10, 30, 3) and closest["distance"].shape == (10, 30)
    d, geom, prim = ref.closest(points)
    best = d.min(axis=1)
    order = np.argsort(d, axis=1)
    unambiguous = d[rows[:300], order[:, 1]] - best > 1e-6 * best
    distance = closest.distance.reshape(300)
    assert np.allclose(distance, best, rtol=1e-5, atol=0)
    assert np.allclose(np.linalg.norm(closest.point.reshape(300, 3) - points, axis=1), best, rtol=1e-5, atol=1e-6 * scale)
    assert np.array_equal(closest.geom.reshape(300)[unambiguous], geom[rows[:300], order[:, 0]][unambiguous])
    assert np.array_equal(closest.prim.reshape(300)[unambiguous], prim[rows[:300], order[:, 0]][unambiguous])
    assert np.allclose(ref.scene.distance(points), best, rtol=1e-5, atol=0)
    away = best > 1e-3 * scale
    inside = ref.inside(points)
    assert inside[away].sum() > 50
    assert np.array_equal(ref.scene.occupancy(points)[away], inside[away].astype(np.float32))
    signed = ref.scene.signed_distance(points)
    assert np.allclose(signed[away], np.where(inside, -best, best)[away], rtol=1e-5, atol=0)


def test_a_files_meshes_are_its_geometries_and_faces_count_within_each(tmp_path):
    path = tmp_path / "two.obj"
    path.write_text("o first\nv 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nf 1 2 3 4\n"
                    "o second\nv 0 0 -1\nv 1 0 -1\nv 1 1 -1\nf 5 6 7\nf 7 6 5\n")
    scene = vantrel.Scene.load(path)
    assert scene.geometry_count == 2 and scene.triangle_count == 4
    down = scene.intersect([[0.2, 0.7, 1, 0, 0, -1], [0.9, 0.1, 0.5, 0, 0, -1], [0.9, 0.1, -0.5, 0, 0, -1]])
    assert down.geom.tolist() == [0, 0, 1] and down.prim.tolist() == [0, 0, 0]
    assert scene.count_intersections([[0.9, 0.1, 1, 0, 0, -1]]).tolist() == [3]
    copy = pickle.loads(pickle.dumps(scene))
    assert copy.intersect([[0.9, 0.1, -0.5, 0, 0, -1]]).geom.tolist() == [1]


def test_moved_vertices_answer_as_a_scene_built_anew_and_pickles_keep_every_geometry():
    vertices, faces = icosphere()
    scene = vantrel.Scene(vertices, faces)
    scene.add_spheres([[3, 0, 0]], [0.5])
    scene.add_instance(0, affine(0.5 * rotation(1.0, [0, 0, 1]), [0, 3, 0]))
    rng = np.random.default_rng(8)
    rays = np.c_[rng.uniform(-4, 4, (3000, 3)), rng.normal(size=(3000, 3))]
    points = rng.uniform(-4, 4, (500, 3))
    for step in range(3):
        moved = vertices * (1 + 0.3 * np.sin(3 * vertices[:, :1] + step))
        scene.update_vertices(0, moved)
        anew = vantrel.Scene(moved, faces)
        anew.add_spheres([[3, 0, 0]], [0.5])
        anew.add_instance(0, affine(0.5 * rotation(1.0, [0, 0, 1]), [0, 3, 0]))
        for a, b in ((scene, anew), (scene, pickle.loads(pickle.dumps(scene)))):
            x, y = a.intersect(rays), b.intersect(rays)
            for name in ("t", "geom", "prim", "u", "v", "normal"):
                assert np.array_equal(getattr(x, name), getattr(y, name)), name
            assert np.array_equal(a.count_intersections(rays), b.count_intersections(rays))
            assert np.array_equal(a.signed_distance(points), b.signed_distance(points))
            p, q = a.closest_points(points), b.closest_points(points)
            for name in ("point", "distance", "geom", "prim", "u", "v", "normal"):
                assert np.array_equal(getattr(p, name), getattr(q, name)), name


def test_bad_geometry_input_is_refused_with_its_reason_and_nothing_built_is_lost():
    vertices, faces = icosphere()
    scene = vantrel.Scene(vertices, faces)
    scene.add_spheres([[3, 0, 0]], [0.5])
    rays = np.array([[0, 0, -4, 0, 0, 1], [3, 0, -4, 0, 0, 1]])
    before = scene.intersect(rays)
    singular, skewed = np.eye(4), np.eye(4)
    singular[2, 2], skewed[3, 0] = 0, 1
    cases = [
        (lambda: scene.add_instance(7, np.eye(4)), ValueError, "no geometry 7"),
        (lambda: scene.add_instance(-1, np.eye(4)), ValueError, "no geometry -1"),
        (lambda: scene.add_instance(0, singular), ValueError, "invertible"),
        (lambda: scene.add_instance(0, np.full((4, 4), np.nan)), ValueError, "NaN"),
        (lambda: scene.add_instance(0, np.eye(3)), ValueError, "shape"),
        (lambda: scene.add_instance(0, skewed), ValueError, "affine"),
        (lambda: scene.add_instance(1, np.diag([2.0, 1, 1, 1])), ValueError, "round"),
        (lambda: scene.add_instance(0.5, np.eye(4)), TypeError, "int"),
        (lambda: scene.update_vertices(0, vertices[:-1]), ValueError, f"{len(vertices)}, not {len(vertices) - 1}"),
        (lambda: scene.update_vertices(1, vertices), ValueError, "not a mesh"),
        (lambda: scene.update_vertices(5, vertices), ValueError, "no geometry 5"),
        (lambda: scene.update_vertices(0, vertices * np.nan), ValueError, "NaN"),
        (lambda: scene.intersect(rays[:, :5]), ValueError, r"\(\.\.\., 6\)"),
        (lambda: scene.intersect(rays, tfar=np.ones(3)), ValueError, "tfar"),
        (lambda: scene.count_intersections(rays, tnear=np.nan), ValueError, "tnear"),
        (lambda: scene.closest_points(np.zeros((4, 2))), ValueError, r"\(\.\.\., 3\)"),
        (lambda: scene.add_triangles(vertices, faces + len(vertices)), ValueError, "indices"),
    ]
    for make, error, reason in cases:
        with pytest.raises(error, match=reason):
            make()
    assert scene.geometry_count == 2
    after = scene.intersect(rays)
    assert np.array_equal(before.t, after.t) and after.geom.tolist() == [0, 1]
    instance = scene.add_instance(0, affine(np.eye(3), [0, 0, 10]))
    assert instance == 2 and scene.intersect([[0, 0, 14, 0, 0, -1]]).geom.tolist() == [2]
    with pytest.raises(ValueError, match="instance"):
        scene.add_instance(instance, np.eye(4))
    empty = vantrel.Scene()
    assert empty.intersect(rays).geom.tolist() == [-1, -1] and empty.count_intersections(rays).tolist() == [0, 0]
