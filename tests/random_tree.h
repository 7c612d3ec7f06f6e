// A component tree over a random triangulation, for the tests of the
// selection and of the extraction that reads it.
#pragma once

#include <cmath>
#include <random>

#include "tree/component_tree.h"
#include "tree/face_table.h"
#include "triangulation/alpha_values.h"

namespace orvo::detail {

// A triangulation of `n` points, half of them on circles (as edge points
// lie on outlines), half scattered, on the pixel grid, with random
// weights; its face table (whose rows refer to the triangulation) and tree.
struct random_tree {
    regular_triangulation shape;
    face_table table;
    component_tree tree;
    random_tree(int n, unsigned seed)
    {
        std::mt19937 rng(seed);
        std::uniform_real_distribution<double> coord(0, 400), unit(0, 1);
        for (int i = 0; i < n; ++i) {
            double x = std::floor(coord(rng)), y = std::floor(coord(rng));
            if (i % 2 == 0) {
                const double cx = 40 + 80 * (i % 10 / 2), r = 10 + 25 * unit(rng), t = 6.283 * unit(rng);
                x = std::floor(cx + r * std::cos(t));
                y = std::floor(cx + r * std::sin(t));
            }
            shape.insert(weighted_point(bare_point(x, y), 20 * unit(rng)));
        }
        table = build_face_table(shape, assign_alpha_values(shape));
        tree = build_component_tree(table.rows, table.adjacent);
    }
};

}  // namespace orvo::detail
