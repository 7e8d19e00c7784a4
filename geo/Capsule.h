// A corridor segment's capsule: the points of the plane nearer to the segment than the radius.
// Its extent across a line is one interval, the capsule being convex; the tiles of a corridor and
// the pixels of its mosaic are both found from it.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <utility>

namespace quarrow {

struct PlanePoint {
    double X;
    double Y;
};

class Capsule {
public:
    Capsule(const PlanePoint& a, const PlanePoint& b, double radius)
        : m_a(a), m_b(b), m_radius(radius) {
        const double dx = b.X - a.X, dy = b.Y - a.Y;
        const double length = std::hypot(dx, dy);
        if (length > 0) {
            // The band between the end discs: the segment moved by the radius to either side.
            const double nx = -dy / length * radius, ny = dx / length * radius;
            m_band = {{{a.X + nx, a.Y + ny},
                       {b.X + nx, b.Y + ny},
                       {b.X - nx, b.Y - ny},
                       {a.X - nx, a.Y - ny}}};
            m_hasBand = true;
        }
    }

    double West() const { return std::min(m_a.X, m_b.X) - m_radius; }
    double East() const { return std::max(m_a.X, m_b.X) + m_radius; }

    // The capsule's extent along the vertical line at x, within West()..East().
    std::pair<double, double> Across(double x) const {
        double lo = INFINITY, hi = -INFINITY;
        for (const PlanePoint& end : {m_a, m_b}) {
            const double dx = x - end.X;
            if (std::abs(dx) <= m_radius) {
                const double half = std::sqrt(m_radius * m_radius - dx * dx);
                lo = std::min(lo, end.Y - half);
                hi = std::max(hi, end.Y + half);
            }
        }
        if (m_hasBand) {
            for (std::size_t i = 0; i < 4; ++i) {
                const PlanePoint& p = m_band[i];
                const PlanePoint& q = m_band[(i + 1) % 4];
                if (p.X == q.X || (p.X - x) * (q.X - x) > 0)
                    continue;
                const double y = p.Y + (q.Y - p.Y) * (x - p.X) / (q.X - p.X);
                lo = std::min(lo, y);
                hi = std::max(hi, y);
            }
        }
        return {lo, hi};
    }

    // The capsule's extent in y over the strip x0..x1 (within West()..East()). Its lower and upper
    // outlines are convex and concave, so the extremes lie at the strip's sides or at the
    // capsule's own northmost and southmost points.
    std::pair<double, double> Over(double x0, double x1) const {
        auto [lo, hi] = Across(x0);
        const auto [lo1, hi1] = Across(x1);
        lo = std::min(lo, lo1);
        hi = std::max(hi, hi1);
        const PlanePoint& north = m_a.Y <= m_b.Y ? m_a : m_b;
        const PlanePoint& south = m_a.Y <= m_b.Y ? m_b : m_a;
        // A level segment has its extremes along all of it.
        const double northWest = m_a.Y == m_b.Y ? std::min(m_a.X, m_b.X) : north.X;
        const double northEast = m_a.Y == m_b.Y ? std::max(m_a.X, m_b.X) : north.X;
        const double southWest = m_a.Y == m_b.Y ? northWest : south.X;
        const double southEast = m_a.Y == m_b.Y ? northEast : south.X;
        if (northEast >= x0 && northWest <= x1)
            lo = std::min(lo, north.Y - m_radius);
        if (southEast >= x0 && southWest <= x1)
            hi = std::max(hi, south.Y + m_radius);
        return {lo, hi};
    }

private:
    PlanePoint m_a;
    PlanePoint m_b;
    double m_radius;
    std::array<PlanePoint, 4> m_band{};
    bool m_hasBand = false;
};

} // namespace quarrow
