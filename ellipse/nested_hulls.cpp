// Hulls of nested components, the innermost first, each from the hulls
// inside it and its own triangles.
#include "ellipse/nested_hulls.h"

#include <algorithm>
#include <utility>

#include "ellipse/fit.h"
#include "parallel/jobs.h"

namespace orvo::detail {
namespace {

// The chosen nodes as a forest, by position in the chosen list: the
// children of k (the nodes k is the nearest enclosing one of) are
// child[first[k] .. first[k + 1]), in the order of their slices of the
// subtree rows; the roots are enclosed by none, in list order.
struct chosen_forest {
    std::vector<int> first, child, roots;
};

chosen_forest forest_of(const std::vector<chosen_node>& chosen, const subtree_triangles& subtrees)
{
    const int n = static_cast<int>(chosen.size());
    std::vector<std::pair<int, int>> position_of_node(n);
    for (int k = 0; k < n; ++k) position_of_node[k] = {chosen[k].node, k};
    std::sort(position_of_node.begin(), position_of_node.end());
    std::vector<int> parent(n, -1);
    chosen_forest forest;
    forest.first.assign(n + 1, 0);
    for (int k = 0; k < n; ++k) {
        const auto found = std::lower_bound(position_of_node.begin(), position_of_node.end(),
                                            std::make_pair(chosen[k].enclosing, 0));
        if (chosen[k].nested() && found != position_of_node.end() && found->first == chosen[k].enclosing) {
            parent[k] = found->second;
            ++forest.first[parent[k] + 1];
        } else {
            forest.roots.push_back(k);
        }
    }
    for (int k = 0; k < n; ++k) forest.first[k + 1] += forest.first[k];
    forest.child.resize(forest.first[n]);
    std::vector<int> next(forest.first.begin(), forest.first.end() - 1);
    for (int k = 0; k < n; ++k)
        if (parent[k] >= 0) forest.child[next[parent[k]]++] = k;
    for (int k = 0; k < n; ++k)
        std::sort(forest.child.begin() + forest.first[k], forest.child.begin() + forest.first[k + 1],
                  [&](int a, int b) { return subtrees.begin[chosen[a].node] < subtrees.begin[chosen[b].node]; });
    return forest;
}

// Fits the nodes of one tree of the forest, children before parents.
class nested_fitter {
public:
    nested_fitter(const triangle_corners& table, const subtree_triangles& subtrees,
                  const std::vector<chosen_node>& chosen, const chosen_forest& forest, double max_area,
                  nested_hulls& result)
        : table_(table), subtrees_(subtrees), chosen_(chosen), forest_(forest), max_area_(max_area),
          result_(result), marks_(table.exact_position.size())
    {
    }

    void fit_tree(int root)
    {
        // Each node after its descendants: the reverse of a walk that puts
        // every node before its descendants.
        order_.clear();
        stack_.assign(1, root);
        while (!stack_.empty()) {
            const int k = stack_.back();
            stack_.pop_back();
            order_.push_back(k);
            stack_.insert(stack_.end(), forest_.child.begin() + forest_.first[k],
                          forest_.child.begin() + forest_.first[k + 1]);
        }
        for (auto k = order_.rbegin(); k != order_.rend(); ++k) fit(*k);
    }

private:
    // The exact positions of the triangles subtrees.rows[from .. to), each
    // vertex once in this fit.
    void take_rows(int from, int to)
    {
        for (int i = from; i < to; ++i)
            for (const int vertex : table_.corners[subtrees_.rows[i]])
                if (marks_.take(vertex)) points_.push_back(table_.exact_position[vertex]);
    }

    void fit(int k)
    {
        points_.clear();
        marks_.next();
        const int node = chosen_[k].node;
        int at = subtrees_.begin[node];
        for (int c = forest_.first[k]; c < forest_.first[k + 1]; ++c) {
            const int child = forest_.child[c], child_node = chosen_[child].node;
            const std::vector<cv::Point2d>& inner = result_.hull[child];
            points_.insert(points_.end(), inner.begin(), inner.end());
            take_rows(at, subtrees_.begin[child_node]);
            at = subtrees_.end[child_node];
        }
        take_rows(at, subtrees_.end[node]);
        if (points_.empty()) return;
        std::vector<cv::Point2d>& hull = result_.hull[k] = convex_hull_polygon(points_);
        const std::optional<Region> own = exact_hull_ellipse(hull, max_area_);
        // Widening only adds area: a hull too large already stays too large.
        if (own) result_.ellipse[k] = table_.edge_pixels ? widened_ellipse(hull, *table_.edge_pixels, max_area_) : own;
    }

    const triangle_corners& table_;
    const subtree_triangles& subtrees_;
    const std::vector<chosen_node>& chosen_;
    const chosen_forest& forest_;
    double max_area_;
    nested_hulls& result_;
    vertex_marks marks_;
    std::vector<cv::Point2d> points_;
    std::vector<int> order_, stack_;
};

}  // namespace

nested_hulls fit_nested_hulls(const triangle_corners& table, const subtree_triangles& subtrees,
                              const std::vector<chosen_node>& chosen, double max_area, int threads)
{
    const chosen_forest forest = forest_of(chosen, subtrees);
    nested_hulls result;
    result.hull.resize(chosen.size());
    result.ellipse.resize(chosen.size());
    run_in_shares(forest.roots.size(), threads, [&](std::size_t begin, std::size_t end) {
        nested_fitter fitter(table, subtrees, chosen, forest, max_area, result);
        for (std::size_t r = begin; r < end; ++r) fitter.fit_tree(forest.roots[r]);
    });
    return result;
}

}  // namespace orvo::detail
