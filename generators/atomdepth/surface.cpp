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
// Speed: nothing is done for all pairs of atoms, and time and memory grow linearly with the
// atoms.  Neighbours come from a grid of cubic cells at least as wide as the largest neighbour
// distance, so an atom's neighbours lie in its own cell and the 26 around it; the atoms are
// held in cell order, so neighbours lie close in memory.  Each atom's neighbours are gathered
// once for all estimates; a point is tested first against the neighbour that buried the
// atom's previous point, then against the neighbours nearest first.  The nearest accessible
// point of an atom that has one of its own is one of its own (a point of another atom closer
// than s_a would lie inside a's sphere); the others ask a k-d tree of the accessible points
// (n log n to build, about log n a query), whose cost does not grow with the depth of the
// atom the way a search through rings of grid cells does (as the cube of the depth), with
// the nearest points of exposed neighbours as a first bound.  Every distance is computed as
// written above and a minimum is exact, so the order of the search changes no bit.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numbers>
#include <string>

#include "generators/atomdepth/atomdepth.hpp"
#include "generators/common/pdb.hpp"
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

// Splits [lo, hi) along the longest side of box (lo corner, hi corner): a box that holds the
// points, passed down and cut at each split rather than measured again.
void build(std::vector<P3>& pt, std::vector<std::uint8_t>& axis, std::size_t lo, std::size_t hi, P3 bmin, P3 bmax) {
    while (hi - lo > leaf) {
        const double ext[3] = {bmax.x - bmin.x, bmax.y - bmin.y, bmax.z - bmin.z};
        const int d = ext[0] >= ext[1] ? (ext[0] >= ext[2] ? 0 : 2) : (ext[1] >= ext[2] ? 1 : 2);
        double P3::*m = d == 0 ? &P3::x : d == 1 ? &P3::y : &P3::z;
        std::size_t mid = lo + (hi - lo) / 2;
        std::nth_element(pt.begin() + static_cast<std::ptrdiff_t>(lo), pt.begin() + static_cast<std::ptrdiff_t>(mid),
                         pt.begin() + static_cast<std::ptrdiff_t>(hi), [m](const P3& a, const P3& b) { return a.*m < b.*m; });
        axis[mid] = static_cast<std::uint8_t>(d);
        P3 lmax = bmax;
        lmax.*m = pt[mid].*m;
        build(pt, axis, lo, mid, bmin, lmax);
        bmin.*m = pt[mid].*m;
        lo = mid + 1;
    }
}

// A k-d tree over pt (reordered in place).
void build(std::vector<P3>& pt, std::vector<std::uint8_t>& axis) {
    P3 bmin = pt[0], bmax = pt[0];
    for (const P3& q : pt) {
        bmin = {std::min(bmin.x, q.x), std::min(bmin.y, q.y), std::min(bmin.z, q.z)};
        bmax = {std::max(bmax.x, q.x), std::max(bmax.y, q.y), std::max(bmax.z, q.z)};
    }
    build(pt, axis, 0, pt.size(), bmin, bmax);
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

// The estimates, est[k][i] for rotation k and atom i.  One pass over the atoms tests the
// points of every estimate, so each atom's neighbours are gathered once (into a small local
// array, coordinates side by side); then, per estimate, the atoms without an accessible point
// of their own ask the k-d tree, starting from the nearest point of an exposed neighbour
// (an accessible point, so a bound that only prunes).
std::vector<std::vector<double>> estimates(const Layout& L, const Settings& s) {
    const std::size_t n = L.c.size(), ne = static_cast<std::size_t>(s.nest);
    const double inf = std::numeric_limits<double>::infinity();
    std::vector<std::vector<P3>> u, acc(ne), near(ne);  // turned unit points; accessible points; nearest own point
    std::vector<std::vector<double>> own(ne);           // squared distance to the nearest own accessible point
    for (std::size_t k = 0; k < ne; ++k) {
        u.push_back(spherepoints(s.npoints, rotations[k]));
        own[k].assign(n, inf);
        near[k].resize(n);
    }
    std::vector<double> nx, ny, nz, ns2;  // the neighbours of the atom at hand
    for (std::size_t p = 0; p < n; ++p) {
        const P3 c = L.c[p];
        const double sp = L.s[p];
        const std::size_t nn = L.nb0[p + 1] - L.nb0[p];
        nx.resize(nn), ny.resize(nn), nz.resize(nn), ns2.resize(nn);
        for (std::size_t j = 0; j < nn; ++j) {
            const std::uint32_t q = L.nb[L.nb0[p] + j];
            nx[j] = L.c[q].x, ny[j] = L.c[q].y, nz[j] = L.c[q].z, ns2[j] = L.s2[q];
        }
        for (std::size_t k = 0; k < ne; ++k) {
            std::size_t last = 0;  // the neighbour that buried the previous point
            for (const P3& v : u[k]) {
                const P3 pt = {c.x + sp * v.x, c.y + sp * v.y, c.z + sp * v.z};
                auto inside = [&](std::size_t j) {
                    double dx = pt.x - nx[j], dy = pt.y - ny[j], dz = pt.z - nz[j];
                    return dx * dx + dy * dy + dz * dz < ns2[j];
                };
                bool buried = false;
                if (nn > 0) {
                    if (inside(last))
                        buried = true;
                    else
                        for (std::size_t j = 0; j < nn; ++j)
                            if (j != last && inside(j)) {
                                buried = true;
                                last = j;
                                break;
                            }
                }
                if (buried) continue;
                acc[k].push_back(pt);
                double dx = pt.x - c.x, dy = pt.y - c.y, dz = pt.z - c.z, d2 = dx * dx + dy * dy + dz * dz;
                if (d2 < own[k][p]) own[k][p] = d2, near[k][p] = pt;
            }
        }
    }
    std::vector<std::vector<double>> e(ne, std::vector<double>(n));
    for (std::size_t k = 0; k < ne; ++k) {
        if (acc[k].empty()) textio::fail(textio::status_stop, s.dp + ": no accessible point: the structure has no surface");
        std::vector<std::uint8_t> axis(acc[k].size(), 0);
        build(acc[k], axis);
        for (std::size_t p = 0; p < n; ++p) {
            double best2 = own[k][p];
            if (best2 == inf) {
                for (std::size_t j = L.nb0[p]; j < L.nb0[p + 1]; ++j)
                    if (own[k][L.nb[j]] != inf) {
                        const P3& b = near[k][L.nb[j]];
                        double dx = b.x - L.c[p].x, dy = b.y - L.c[p].y, dz = b.z - L.c[p].z;
                        best2 = std::min(best2, dx * dx + dy * dy + dz * dz);
                    }
                nearest(acc[k], axis, 0, acc[k].size(), L.c[p], best2);
            }
            e[k][L.perm[p]] = std::sqrt(best2) - s.probe;
        }
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

Depths depths(const Atoms& at, const Settings& s) {
    const std::size_t n = at.size();
    // Refused before the points are made: at most every point accessible (a point and its
    // tree byte), and the grid, neighbour lists and results, a few hundred bytes an atom.
    const double need = static_cast<double>(n) * (static_cast<double>(s.npoints) * s.nest * (sizeof(P3) + 1) + 512);
    if (need > static_cast<double>(gen::memory_limit()))
        textio::fail(textio::status_io, s.dp + ": " + std::to_string(n) + " atoms with " + std::to_string(s.npoints) +
                                            " points on each of " + std::to_string(s.nest) +
                                            " spheres would need more memory than there is (about " +
                                            std::to_string(static_cast<long long>(need / 1048576)) + " MB)");
    const std::vector<double> c = centre(at);
    const Layout L = layout(at, c, s);
    const std::vector<std::vector<double>> est = estimates(L, s);
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
        if (!std::isfinite(d.depth[i]) || !std::isfinite(d.sd[i]))  // a guard: bounded coordinates give none
            textio::fail(textio::status_stop, s.dp + ": atom " + at.words[2 * i] + ": a depth that is not a number");
    }
    return d;
}

}  // namespace atomdepth
