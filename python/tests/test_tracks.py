"""orvo.tracks on three synthetic views of a textured plane with known affine maps between them."""

import cv2
import numpy as np
import pytest

from orvo import tracks

ROTATION = np.array([[np.cos(0.2), -np.sin(0.2)], [np.sin(0.2), np.cos(0.2)]])
# View k shows view 1's point p at A_k p + t_k.
VIEWS = [(np.eye(2), np.zeros(2)), (ROTATION @ np.diag([1.1, 0.95]), np.array([-20.0, 35.0])),
         (np.array([[0.9, 0.12], [-0.05, 1.05]]), np.array([30.0, -10.0]))]


def view_point(k, p):
    A, t = VIEWS[k]
    return p @ A.T + t


def affine_between(j, k):
    return VIEWS[k][0] @ np.linalg.inv(VIEWS[j][0])


@pytest.fixture(scope="module")
def views():
    rng = np.random.default_rng(3)
    texture = cv2.GaussianBlur((rng.random((360, 480)) * 255).astype(np.float32), (0, 0), 2.5)
    base = cv2.normalize(texture, None, 0, 255, cv2.NORM_MINMAX).astype(np.uint8)
    images = []
    for k, (A, t) in enumerate(VIEWS):
        warped = cv2.warpAffine(base, np.hstack([A, t[:, None]]), (480, 360), flags=cv2.INTER_CUBIC,
                                borderMode=cv2.BORDER_REFLECT)
        images.append(np.clip(warped.astype(np.float32) * (1 - 0.1 * k) + 10 * k, 0, 255).astype(np.uint8))
    return {f"view{k}": image for k, image in enumerate(images)}


def regions_and_matches(rng, count=40, noise=1.0):
    """Per view the regions of `count` scene points (their centres off by up to `noise` px, circles of radius 6 in
    view 0 mapped into the others), and the matches of each pair of views with slightly wrong affine maps."""
    points = rng.uniform(140, 300, size=(count, 2))
    regions = {}
    for k, (A, _) in enumerate(VIEWS):
        centres = view_point(k, points) + rng.uniform(-noise, noise, size=(count, 2))
        M = np.linalg.inv(A).T @ (np.eye(2) / 36.0) @ np.linalg.inv(A)
        regions[f"view{k}"] = np.column_stack([centres, np.tile([M[0, 0], M[0, 1], M[1, 1]], (count, 1))])
    order = rng.permutation(count)  # each view lists the regions in its own order
    regions["view2"] = regions["view2"][np.argsort(order)]
    index = {0: np.arange(count), 1: np.arange(count), 2: order}
    matches = [tracks.Match(f"view{j}", f"view{k}", index[j], index[k],
                            np.tile(affine_between(j, k) @ np.array([[1.04, 0.02], [-0.03, 0.97]]), (count, 1, 1)))
               for j, k in ((0, 1), (1, 2), (0, 2))]
    return regions, matches, index


def test_tracks_join_the_matches_of_every_pair():
    regions, matches, index = regions_and_matches(np.random.default_rng(1), count=5)
    found = tracks.tracks(matches)
    assert len(found) == 5
    for track in found:
        assert len(track) == 3 and {name for name, _ in track} == {"view0", "view1", "view2"}
        i = dict(track)["view0"]
        assert dict(track) == {"view0": i, "view1": i, "view2": int(index[2][i])}
    # A chain of two pairs is one track too.
    assert sorted(len(t) for t in tracks.tracks(matches[:2])) == [3] * 5


def test_refined_observations_agree_on_one_scene_point(views):
    regions, matches, index = regions_and_matches(np.random.default_rng(2))
    positions, failed = tracks.refine_tracks(views, regions, matches)
    assert not any(f.any() for f in failed.values())
    # Each region of each view is one position; mapped back to view 0, a track's positions coincide.
    scene = np.stack([np.linalg.solve(VIEWS[k][0], (positions[f"view{k}"][index[k]] - VIEWS[k][1]).T).T
                      for k in range(3)])
    spread = np.linalg.norm(scene - scene.mean(axis=0), axis=2)
    before = np.stack([np.linalg.solve(VIEWS[k][0], (regions[f"view{k}"][index[k], :2] - VIEWS[k][1]).T).T
                       for k in range(3)])
    assert np.median(np.linalg.norm(before - before.mean(axis=0), axis=2)) > 0.4
    assert np.percentile(spread, 90) < 0.05


def test_regions_outside_tracks_and_bad_matches(views):
    regions, matches, _ = regions_and_matches(np.random.default_rng(4), count=6)
    extra = {name: np.vstack([r, [[50.0, 50.0, 0.03, 0.0, 0.03]]]) for name, r in regions.items()}
    positions, _ = tracks.refine_tracks(views, extra, matches[:1])  # view2 is in no match
    for name in extra:
        assert positions[name].shape == (7, 2)
        np.testing.assert_array_equal(positions[name][6], [50.0, 50.0])
    np.testing.assert_array_equal(positions["view2"], extra["view2"][:, :2])
    # A match to a region elsewhere cannot be aligned: it keeps its centre and is reported.
    astray = matches[0]._replace(index2=np.roll(matches[0].index2, 1))
    positions, failed = tracks.refine_tracks(views, regions, [astray])
    assert failed["view1"].sum() >= 5 and not failed["view0"].any()
    np.testing.assert_array_equal(positions["view1"][failed["view1"]], regions["view1"][failed["view1"], :2])
    wrong = tracks.Match("view0", "view1", [0, 9], [0, 1], np.tile(np.eye(2), (2, 1, 1)))
    with pytest.raises(ValueError, match="region 9 of 'view0'"):
        tracks.refine_tracks(views, regions, [wrong])
    with pytest.raises(ValueError, match="indices"):
        tracks.refine_tracks(views, regions, [wrong._replace(index2=[0])])


def camera(k):
    """The k-th of four cameras looking at the origin from 10 units away, 800 px focal length: P = K [R | t]."""
    angle = 0.15 * k
    R = np.array([[np.cos(angle), 0, -np.sin(angle)], [0, 1, 0], [np.sin(angle), 0, np.cos(angle)]])
    K = np.array([[800.0, 0, 320], [0, 800, 240], [0, 0, 1]])
    return K, R, np.array([0.0, 0.1 * k, 10.0])


def fundamental(j, k):
    """F with p_k' F p_j = 0 between cameras j and k."""
    (K1, R1, t1), (K2, R2, t2) = camera(j), camera(k)
    R, t = R2 @ R1.T, t2 - R2 @ R1.T @ t1
    cross = np.array([[0, -t[2], t[1]], [t[2], 0, -t[0]], [-t[1], t[0], 0]])
    return np.linalg.inv(K2).T @ cross @ R @ np.linalg.inv(K1)


def test_completed_tracks_join_every_view_their_point_is_seen_in():
    scene = np.random.default_rng(4).uniform(-2, 2, size=(30, 3))
    positions = {}
    for k in range(4):
        K, R, t = camera(k)
        seen = (scene @ R.T + t) @ K.T
        positions[f"view{k}"] = seen[:, :2] / seen[:, 2:]
    everything = np.arange(30)
    # Matched along a chain only. In the last pair point 5's region is matched to point 6's (a wrong match, and
    # point 6 is not seen in view 3), and point 8's region to points 7 and 8 (one track with two observations in
    # each view).
    last1, last2 = np.append(np.delete(everything, 6), 8), np.append(np.delete(everything, 6), 7)
    last2[5] = 6
    matches = [tracks.Match("view0", "view1", everything, everything, None),
               tracks.Match("view1", "view2", everything, everything, None),
               tracks.Match("view2", "view3", last1, last2, None)]
    models = {(f"view{j}", f"view{k}"): fundamental(j, k) for j in range(4) for k in range(j + 1, 4)}
    np.testing.assert_allclose(tracks.sampson_distances(models["view0", "view2"], positions["view0"],
                                                        positions["view2"]), 0, atol=1e-6)
    added = tracks.complete_tracks(matches, positions, models, threshold=1.0)

    assert set(added) == {("view0", "view2"), ("view0", "view3"), ("view1", "view3")}
    # Each point with itself, in every new pair but points 7 and 8 (their track is left as it is); with view 3,
    # not point 6 (not seen there) nor point 5 (its wrong observation is off the epipolar line).
    for pair, missing in ((("view0", "view2"), {7, 8}), (("view0", "view3"), {5, 6, 7, 8}),
                          (("view1", "view3"), {5, 6, 7, 8})):
        index1, index2 = added[pair]
        assert index1.tolist() == index2.tolist()
        assert set(everything.tolist()) - set(index1.tolist()) == missing
    # Nothing to add when every pair was matched; none without models.
    assert tracks.complete_tracks([tracks.Match(*pair, everything, everything, None) for pair in models], positions,
                                  models) == {}
    assert tracks.complete_tracks(matches, positions, {}) == {}


def test_tracks_split_where_a_wrong_match_joins_two_points():
    # Four views of ten points, matched along a chain and from view 0 to view 3. One wrong match (point 2 of view
    # 1 to point 3 of view 2, less alike than the true ones) joins the tracks of points 2 and 3, which then reach
    # every view twice; a second pair of near-identical regions of view 3 (points 5 and 9, the latter also
    # matched to point 5 of view 2, equally alike) puts two observations of view 3 into point 5's track.
    everything = np.arange(10)
    pairs = [("view0", "view1", everything, everything), ("view1", "view2", np.append(everything, 2),
                                                           np.append(everything, 3)),
             ("view2", "view3", np.append(everything, 5), np.append(everything, 9)),
             ("view0", "view3", everything, everything)]
    matches = [tracks.Match(a, b, i, j, None) for a, b, i, j in pairs]
    distances = [np.full(len(m.index1), 0.2) for m in matches]
    distances[1][-1] = 0.5
    distances[2][-1] = 0.2
    kept = tracks.consistent_matches(matches, distances)

    assert [k.all() for k in kept] == [True, False, False, True]
    assert kept[1].tolist() == [True] * 10 + [False]
    assert kept[2][:10].all() and not kept[2][10]  # a tie goes to the match given first
    found = tracks.tracks([m._replace(index1=m.index1[k], index2=m.index2[k]) for m, k in zip(matches, kept)])
    assert sorted(sorted(index for _, index in t) for t in found) == [[k] * 4 for k in range(10)]
    # Consistent tracks keep every match.
    assert all(k.all() for k in tracks.consistent_matches(matches[:1], distances[:1]))
