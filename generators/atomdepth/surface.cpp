// Points, accessibility and depth (depths, estimate).
// Reads an Atoms group and the settings; writes per-atom depths and spreads.
//
// One estimate, for a rotation R of the unit points u_k (k = 0 .. n-1; t = k + 0.5,
// z = 1 - 2t/n, r = sqrt(1 - z^2), phi = pi (1 + sqrt 5) t, u = (r cos phi, r sin phi, z)):
//   - atom i (centre c_i, radius r_i, s_i = r_i + P) carries the points c_i + s_i R u_k;
//   - atoms i != j are neighbours when |c_i - c_j| < s_i + s_j;
//   - a point of atom i is accessible when its squared distance to the centre of every
//     neighbour j is at least s_j^2;
//   - the estimate for atom a is the distance from c_a to the nearest accessible point of
//     all atoms, less P.
// Coordinates are first shifted by their mean.  The depth is the mean of the estimates, the
// spread their standard deviation (population form).
//
// Speed: nothing is done for all pairs of atoms.  Neighbours come from a grid of cubic cells
// at least as wide as the largest neighbour distance, so an atom's neighbours lie in its own
// cell and the 26 around it; the atoms are held in cell order, so neighbours lie close in
// memory.  A point is tested first against the neighbour that buried the atom's previous
// point, then against the neighbours nearest first.  The nearest accessible point of an atom
// that has one of its own is one of its own (a point of another atom closer than s_a would
// lie inside a's sphere); the others ask a k-d tree of the accessible points, whose cost does
// not grow with the depth of the atom the way a search through rings of grid cells does.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numbers>
#include <string>

#include "generators/atomdepth/atomdepth.hpp"
#include "textio/error.hpp"

namespace atomdepth {

const std::array<std::array<double, 9>, 3> rotations = {{
    {0.16013917463368754, -0.9854609266956963, -0.05676448452774652, -0.9820382354466894, -0.16486835868202043,
     0.09175689852130708, -0.09978150564305076, 0.041051020225519944, -0.9941621924364504},
    {0.6095658746180606, 0.6605225518521088, -0.43833708831890705, 0.7906667225388117, -0.4666562500822665,
     0.39633076858716265, 0.05723266873781985, -0.5881682605801978, -0.8067109264632601},
    {-0.1080319753621879, -0.8059985744717476, -0.5819754206569676, -0.08348141435734678, -0.5759790490839545,
     0.8131906224700582, -0.9906361318648945, 0.1364347205291031, -0.005061746527132649},
}};

namespace {

struct P3 {
    double x, y, z;
};

// The unit points turned by rot.
std::vector<P3> spherepoints(int n, const std::array<double, 9>& rot) {
    std::vector<P3> q(static_cast<std::size_t>(n));
    const double golden = std::numbers::pi * (1 + std::sqrt(5.0));
    for (int k = 0; k < n; ++k) {
        double t = k + 0.5;
        double z = 1 - 2 * t / n;
        double r = std::sqrt(1 - z * z);
        double phi = golden * t;
        double u[3] = {r * std::cos(phi), r * std::sin(phi), z};
        double v[3];
        for (int row = 0; row < 3; ++row) v[row] = rot[3 * row] * u[0] + rot[3 * row + 1] * u[1] + rot[3 * row + 2] * u[2];
        q[static_cast<std::size_t>(k)] = {v[0], v[1], v[2]};
    }
    return q;
}

// Atoms in grid-cell order with their neighbour lists (nearest first).
struct Layout {
    std::vector<std::size_t> perm;  // perm[p]: atom at position p
    std::vector<P3> c;              // centre of the atom at position p
    std::vector<double> s, s2;      // s_p = r + P and its square
    std::vector<std::size_t> nb0;   // neighbours of position p: nb[nb0[p] .. nb0[p+1])
    std::vector<std::uint32_t> nb;  // positions
};

// More neighbours than this within contact distance is no molecule (about 80 is usual): such
// coordinates are refused rather than given work that grows with the square of their number.
constexpr std::size_t maxnb = 1000;

Layout layout(const Atoms& at, const std::vector<double>& centred, const Settings& set) {
    const double probe = set.probe;
    const std::size_t n = at.size();
    Layout L;
    double smax = 0, lo[3], hi[3];
    for (int d = 0; d < 3; ++d) lo[d] = hi[d] = centred[static_cast<std::size_t>(d)];
    for (std::size_t i = 0; i < n; ++i) {
        smax = std::max(smax, at.rad[i] + probe);
        for (int d = 0; d < 3; ++d) {
            lo[d] = std::min(lo[d], centred[3 * i + d]);
            hi[d] = std::max(hi[d], centred[3 * i + d]);
        }
    }
    // Cells at least 2 smax wide; wider when the box is mostly empty, so the grid never
    // holds many more cells than atoms.
    double w = std::max(2 * smax, 1e-3);
    std::size_t dim[3], cells;
    for (;;) {
        cells = 1;
        for (int d = 0; d < 3; ++d) {
            dim[d] = static_cast<std::size_t>((hi[d] - lo[d]) / w) + 1;
            cells *= dim[d];
        }
        if (cells <= 4 * n + 64) break;
        w *= 1.25;
    }
    auto cellof = [&](std::size_t i, std::size_t g[3]) {
        for (int d = 0; d < 3; ++d)
            g[d] = std::min(dim[d] - 1, static_cast<std::size_t>((centred[3 * i + d] - lo[d]) / w));
    };
    std::vector<std::size_t> start(cells + 1, 0), cell(n);
    for (std::size_t i = 0; i < n; ++i) {
        std::size_t g[3];
        cellof(i, g);
        cell[i] = (g[2] * dim[1] + g[1]) * dim[0] + g[0];
        ++start[cell[i] + 1];
    }
    for (std::size_t k = 0; k < cells; ++k) start[k + 1] += start[k];
    L.perm.resize(n);
    {
        std::vector<std::size_t> fill(start.begin(), start.end() - 1);
        for (std::size_t i = 0; i < n; ++i) L.perm[fill[cell[i]]++] = i;
    }
    L.c.resize(n), L.s.resize(n), L.s2.resize(n);
    for (std::size_t p = 0; p < n; ++p) {
        std::size_t i = L.perm[p];
        L.c[p] = {centred[3 * i], centred[3 * i + 1], centred[3 * i + 2]};
        L.s[p] = at.rad[i] + probe;
        L.s2[p] = L.s[p] * L.s[p];
    }
    L.nb0.assign(n + 1, 0);
    std::vector<std::pair<double, std::uint32_t>> near;
    for (std::size_t p = 0; p < n; ++p) {
        std::size_t g[3];
        cellof(L.perm[p], g);
        near.clear();
        for (std::size_t z = g[2] ? g[2] - 1 : 0; z <= std::min(dim[2] - 1, g[2] + 1); ++z)
            for (std::size_t y = g[1] ? g[1] - 1 : 0; y <= std::min(dim[1] - 1, g[1] + 1); ++y) {
                std::size_t row = (z * dim[1] + y) * dim[0];
                std::size_t x0 = g[0] ? g[0] - 1 : 0, x1 = std::min(dim[0] - 1, g[0] + 1);
                for (std::size_t q = start[row + x0]; q < start[row + x1 + 1]; ++q) {
                    if (q == p) continue;
                    double dx = L.c[p].x - L.c[q].x, dy = L.c[p].y - L.c[q].y, dz = L.c[p].z - L.c[q].z;
                    double d2 = dx * dx + dy * dy + dz * dz, lim = L.s[p] + L.s[q];
                    if (d2 < lim * lim) near.push_back({d2, static_cast<std::uint32_t>(q)});
                    if (near.size() > maxnb)
                        textio::fail(textio::status_stop,
                                     set.dp + ": atom " + at.words[2 * L.perm[p]] + " has more than " + std::to_string(maxnb) +
                                         " neighbours (atoms closer than their radii plus twice the probe radius)");
                }
            }
        std::sort(near.begin(), near.end());
        for (auto& e : near) L.nb.push_back(e.second);
        L.nb0[p + 1] = L.nb.size();
    }
    return L;
}

// A k-d tree over points, held implicitly: the node of positions [lo, hi) splits at
// mid = (lo + hi) / 2 along axis[mid]; the left part holds smaller, the right part larger
// or equal coordinates.
constexpr std::size_t leaf = 8;

double coord(const P3& p, int d) { return d == 0 ? p.x : d == 1 ? p.y : p.z; }

void build(std::vector<P3>& pt, std::vector<std::uint8_t>& axis, std::size_t lo, std::size_t hi) {
    while (hi - lo > leaf) {
        double mn[3] = {pt[lo].x, pt[lo].y, pt[lo].z}, mx[3] = {mn[0], mn[1], mn[2]};
        for (std::size_t i = lo; i < hi; ++i)
            for (int d = 0; d < 3; ++d) {
                mn[d] = std::min(mn[d], coord(pt[i], d));
                mx[d] = std::max(mx[d], coord(pt[i], d));
            }
        int d = 0;
        for (int e = 1; e < 3; ++e)
            if (mx[e] - mn[e] > mx[d] - mn[d]) d = e;
        std::size_t mid = lo + (hi - lo) / 2;
        std::nth_element(pt.begin() + static_cast<std::ptrdiff_t>(lo), pt.begin() + static_cast<std::ptrdiff_t>(mid),
                         pt.begin() + static_cast<std::ptrdiff_t>(hi),
                         [d](const P3& a, const P3& b) { return coord(a, d) < coord(b, d); });
        axis[mid] = static_cast<std::uint8_t>(d);
        build(pt, axis, lo, mid);
        lo = mid + 1;
    }
}

void nearest(const std::vector<P3>& pt, const std::vector<std::uint8_t>& axis, std::size_t lo, std::size_t hi,
             const P3& q, double& best2) {
    while (hi - lo > leaf) {
        std::size_t mid = lo + (hi - lo) / 2;
        const P3& m = pt[mid];
        double dx = m.x - q.x, dy = m.y - q.y, dz = m.z - q.z;
        best2 = std::min(best2, dx * dx + dy * dy + dz * dz);
        double off = coord(q, axis[mid]) - coord(m, axis[mid]);
        if (off < 0) {
            nearest(pt, axis, lo, mid, q, best2);
            if (off * off >= best2) return;
            lo = mid + 1;
        } else {
            nearest(pt, axis, mid + 1, hi, q, best2);
            if (off * off >= best2) return;
            hi = mid;
        }
    }
    for (std::size_t i = lo; i < hi; ++i) {
        double dx = pt[i].x - q.x, dy = pt[i].y - q.y, dz = pt[i].z - q.z;
        best2 = std::min(best2, dx * dx + dy * dy + dz * dz);
    }
}

std::vector<double> estimate_in(const Layout& L, const Settings& s, const std::array<double, 9>& rot) {
    const std::size_t n = L.c.size();
    const std::vector<P3> u = spherepoints(s.npoints, rot);
    std::vector<P3> acc;                                        // accessible points
    std::vector<double> own(n, std::numeric_limits<double>::infinity());  // nearest own accessible point, squared
    for (std::size_t p = 0; p < n; ++p) {
        const P3 c = L.c[p];
        const double sp = L.s[p];
        const std::uint32_t* nb = L.nb.data() + L.nb0[p];
        const std::size_t nn = L.nb0[p + 1] - L.nb0[p];
        std::size_t last = 0;  // index in nb of the neighbour that buried the previous point
        for (const P3& v : u) {
            const P3 pt = {c.x + sp * v.x, c.y + sp * v.y, c.z + sp * v.z};
            bool buried = false;
            if (nn > 0) {
                auto inside = [&](std::size_t k) {
                    const P3& cj = L.c[nb[k]];
                    double dx = pt.x - cj.x, dy = pt.y - cj.y, dz = pt.z - cj.z;
                    return dx * dx + dy * dy + dz * dz < L.s2[nb[k]];
                };
                if (inside(last))
                    buried = true;
                else
                    for (std::size_t k = 0; k < nn; ++k)
                        if (k != last && inside(k)) {
                            buried = true;
                            last = k;
                            break;
                        }
            }
            if (buried) continue;
            acc.push_back(pt);
            double dx = pt.x - c.x, dy = pt.y - c.y, dz = pt.z - c.z;
            own[p] = std::min(own[p], dx * dx + dy * dy + dz * dz);
        }
    }
    if (acc.empty())
        textio::fail(textio::status_stop, "no accessible point: the structure has no surface");
    std::vector<std::uint8_t> axis(acc.size(), 0);
    build(acc, axis, 0, acc.size());
    std::vector<double> e(n);
    for (std::size_t p = 0; p < n; ++p) {
        double best2 = own[p];
        if (best2 == std::numeric_limits<double>::infinity()) nearest(acc, axis, 0, acc.size(), L.c[p], best2);
        e[L.perm[p]] = std::sqrt(best2) - s.probe;
    }
    return e;
}

std::vector<double> centre(const Atoms& at) {
    const std::size_t n = at.size();
    double sum[3] = {0, 0, 0};
    for (std::size_t i = 0; i < n; ++i)
        for (int d = 0; d < 3; ++d) sum[d] += at.xyz[3 * i + d];
    std::vector<double> c(at.xyz);
    for (int d = 0; d < 3; ++d) {
        double mean = sum[d] / static_cast<double>(n);
        for (std::size_t i = 0; i < n; ++i) c[3 * i + d] -= mean;
    }
    return c;
}

}  // namespace

std::vector<double> estimate(const Atoms& at, const std::vector<double>& centred, const Settings& s,
                             const std::array<double, 9>& rot) {
    return estimate_in(layout(at, centred, s), s, rot);
}

Depths depths(const Atoms& at, const Settings& s) {
    const std::size_t n = at.size();
    const std::vector<double> c = centre(at);
    const Layout L = layout(at, c, s);
    std::vector<std::vector<double>> est;
    for (int k = 0; k < s.nest; ++k) est.push_back(estimate_in(L, s, rotations[static_cast<std::size_t>(k)]));
    Depths d;
    d.depth.resize(n), d.sd.resize(n);
    const double m = s.nest;
    for (std::size_t i = 0; i < n; ++i) {
        double sum = 0;
        for (const auto& e : est) sum += e[i];
        double mean = sum / m, ss = 0;
        for (const auto& e : est) ss += (e[i] - mean) * (e[i] - mean);
        d.depth[i] = mean;
        d.sd[i] = std::sqrt(ss / m);
    }
    return d;
}

}  // namespace atomdepth
