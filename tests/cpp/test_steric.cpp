// The steric average: weights checked against areas and lengths worked out
// by hand, and order matrices against the symmetry of simple shapes.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <vector>

#include "steric/steric.h"

namespace {

constexpr double pi = 3.14159265358979323846;

// Atoms as runs, kept alive by the test.
struct Shape {
    std::vector<double> x, y, z, r;
    void add(double ax, double ay, double az, double radius)
    {
        x.push_back(ax);
        y.push_back(ay);
        z.push_back(az);
        r.push_back(radius);
    }
    StericAtoms atoms() const { return {x.data(), y.data(), z.data(), r.data(), x.size()}; }
};

// Atoms 2 A apart along z, from -half to +half.
Shape rod(double half)
{
    Shape s;
    for (double t = -half; t <= half + 1e-9; t += 2.0) {
        s.add(0.0, 0.0, t, 1.8);
    }
    return s;
}

// Atoms on a square grid 2 A apart in the xy plane, within radius `half`.
Shape disc(double half)
{
    Shape s;
    for (double u = -half; u <= half + 1e-9; u += 2.0) {
        for (double v = -half; v <= half + 1e-9; v += 2.0) {
            if (u * u + v * v <= half * half) {
                s.add(u, v, 0.0, 1.8);
            }
        }
    }
    return s;
}

const StericMedium walls = {StericShape::wall, 400.0, 0.0};
const StericMedium phage = {StericShape::cylinder, 2.0e6, 33.5};

TEST(StericSphere, PointsAreUnitAndIsotropic)
{
    const std::size_t n = 4000;
    double second[3][3] = {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}};
    for (std::size_t k = 0; k < n; ++k) {
        double p[3];
        sphere_point(k, n, p);
        EXPECT_NEAR(p[0] * p[0] + p[1] * p[1] + p[2] * p[2], 1.0, 1e-14);
        for (int i = 0; i < 3; ++i) {
            for (int j = 0; j < 3; ++j) {
                second[i][j] += p[i] * p[j] / static_cast<double>(n);
            }
        }
    }
    // An even spread has <n n^T> = I / 3.
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            EXPECT_NEAR(second[i][j], i == j ? 1.0 / 3.0 : 0.0, 1e-3) << i << j;
        }
    }
}

TEST(StericSphere, PointsAreSymmetricInZ)
{
    // Point k and point n - 1 - k lie at opposite heights: the set has no
    // net z, so it favours neither pole.
    for (const std::size_t n : {1u, 2u, 7u, 4000u}) {
        double sum = 0.0;
        for (std::size_t k = 0; k < n; ++k) {
            double p[3], q[3];
            sphere_point(k, n, p);
            sphere_point(n - 1 - k, n, q);
            EXPECT_NEAR(p[2], -q[2], 1e-15) << n << " " << k;
            sum += p[2];
        }
        EXPECT_NEAR(sum, 0.0, 1e-12) << n;
    }
}

TEST(StericWeights, WallLeavesTheGapLessTheExtent)
{
    Shape s;
    s.add(-10.0, 0.0, 0.0, 1.0);
    s.add(10.0, 0.0, 0.0, 1.0);
    const double along_x[3] = {1.0, 0.0, 0.0};
    const double along_z[3] = {0.0, 0.0, 1.0};
    // Extent 22 A along x (two centres 20 apart plus a radius each side), 2 A along z.
    EXPECT_NEAR(wall_weight(s.atoms(), along_x, 100.0), 78.0 / 100.0, 1e-15);
    EXPECT_NEAR(wall_weight(s.atoms(), along_z, 100.0), 98.0 / 100.0, 1e-15);
    // A gap narrower than the molecule leaves nothing, never less.
    EXPECT_EQ(wall_weight(s.atoms(), along_x, 20.0), 0.0);
}

TEST(StericWeights, CylinderExcludesADiscAroundOneAtom)
{
    Shape s;
    s.add(0.0, 0.0, 0.0, 2.0);
    const double axis[3] = {0.6, 0.0, 0.8};
    // The centre cannot come closer than R + r from the axis in any direction.
    const double excluded = pi * (33.5 + 2.0) * (33.5 + 2.0);
    EXPECT_NEAR(cylinder_weight(s.atoms(), axis, phage), 1.0 - excluded / 2.0e6, 1e-12);
}

TEST(StericWeights, CylinderSeesTheProjectedLength)
{
    // Two atoms 40 A apart: along the cylinder's axis they exclude one disc;
    // across it, more.
    Shape s;
    s.add(0.0, 0.0, -20.0, 1.0);
    s.add(0.0, 0.0, 20.0, 1.0);
    const double along[3] = {0.0, 0.0, 1.0};
    const double across[3] = {1.0, 0.0, 0.0};
    const double disc_only = 1.0 - pi * 34.5 * 34.5 / 2.0e6;
    EXPECT_NEAR(cylinder_weight(s.atoms(), along, phage), disc_only, 1e-12);
    EXPECT_LT(cylinder_weight(s.atoms(), across, phage), disc_only - 1e-4);
}

TEST(StericOrderShapes, OneAtomAlignsToNothing)
{
    Shape s;
    s.add(3.0, -1.0, 2.0, 1.8);
    for (const StericMedium& medium : {walls, phage}) {
        const StericOrder o = steric_order(s.atoms(), medium, 3000, 2);
        for (int i = 0; i < 3; ++i) {
            for (int j = 0; j < 3; ++j) {
                EXPECT_NEAR(o.order[i][j], 0.0, 1e-12);  // rounding only
            }
        }
        EXPECT_GT(o.allowed, 0.0);
    }
}

// Checks a uniaxial order about z and returns its S_zz.
double uniaxial_along_z(const StericOrder& o)
{
    const double szz = o.order[2][2];
    EXPECT_NEAR(o.order[0][0], -0.5 * szz, 0.01 * std::fabs(szz));
    EXPECT_NEAR(o.order[1][1], -0.5 * szz, 0.01 * std::fabs(szz));
    EXPECT_NEAR(o.order[0][1], 0.0, 0.01 * std::fabs(szz));
    EXPECT_NEAR(o.order[0][2], 0.0, 0.01 * std::fabs(szz));
    EXPECT_NEAR(o.order[1][2], 0.0, 0.01 * std::fabs(szz));
    return szz;
}

TEST(StericOrderShapes, RodAndDiscAlignOppositely)
{
    const StericOrder r = steric_order(rod(20.0).atoms(), walls, 20000, 2);
    const StericOrder d = steric_order(disc(20.0).atoms(), walls, 20000, 2);
    // Between walls a rod keeps its length off the normal (S_zz < 0); a
    // disc of the same extent keeps its face to the walls (S_zz > 0).
    const double rod_szz = uniaxial_along_z(r);
    const double disc_szz = uniaxial_along_z(d);
    EXPECT_LT(rod_szz, 0.0);
    EXPECT_GT(disc_szz, 0.0);
    // Around cylinders the rod lies along them.
    EXPECT_GT(uniaxial_along_z(steric_order(rod(20.0).atoms(), phage, 20000, 2)), 0.0);
}

TEST(StericOrderShapes, TracelessSymmetricAndTheSameBitsOnAnyThreads)
{
    Shape s;
    s.add(0.0, 0.0, 0.0, 1.8);
    s.add(12.0, 3.0, -1.0, 1.5);
    s.add(-4.0, 8.0, 5.0, 1.7);
    s.add(2.0, -6.0, 9.0, 1.8);
    for (const StericMedium& medium : {walls, phage}) {
        const StericOrder one = steric_order(s.atoms(), medium, 5000, 1);
        const StericOrder four = steric_order(s.atoms(), medium, 5000, 4);
        EXPECT_NEAR(one.order[0][0] + one.order[1][1] + one.order[2][2], 0.0, 1e-15);
        for (int i = 0; i < 3; ++i) {
            for (int j = 0; j < 3; ++j) {
                EXPECT_EQ(one.order[i][j], one.order[j][i]);
                EXPECT_EQ(one.order[i][j], four.order[i][j]);
            }
        }
        EXPECT_EQ(one.allowed, four.allowed);
    }
}

TEST(StericOrderShapes, RotatingTheMoleculeRotatesTheOrder)
{
    Shape s;
    s.add(0.0, 0.0, 0.0, 1.8);
    s.add(14.0, 3.0, -1.0, 1.5);
    s.add(-4.0, 8.0, 5.0, 1.7);
    s.add(2.0, -6.0, 11.0, 1.8);
    // A rotation by 50 degrees about (1, 1, 1)/sqrt 3, written out by Rodrigues.
    const double angle = 50.0 * pi / 180.0;
    const double c = std::cos(angle), w = std::sin(angle) / std::sqrt(3.0), k = (1.0 - c) / 3.0;
    const double m[3][3] = {{c + k, k - w, k + w}, {k + w, c + k, k - w}, {k - w, k + w, c + k}};
    Shape turned;
    for (std::size_t i = 0; i < s.x.size(); ++i) {
        const double p[3] = {s.x[i], s.y[i], s.z[i]};
        double q[3];
        for (int a = 0; a < 3; ++a) {
            q[a] = m[a][0] * p[0] + m[a][1] * p[1] + m[a][2] * p[2];
        }
        turned.add(q[0], q[1], q[2], s.r[i]);
    }
    const StericOrder o = steric_order(s.atoms(), walls, 40000, 2);
    const StericOrder t = steric_order(turned.atoms(), walls, 40000, 2);
    double scale = 0.0;
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            scale = std::max(scale, std::fabs(o.order[i][j]));
        }
    }
    // t = M o M^T, to the sampling's accuracy.
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            double expected = 0.0;
            for (int a = 0; a < 3; ++a) {
                for (int b = 0; b < 3; ++b) {
                    expected += m[i][a] * o.order[a][b] * m[j][b];
                }
            }
            EXPECT_NEAR(t.order[i][j], expected, 0.005 * scale) << i << j;
        }
    }
}

// A stop check that counts its calls and says yes at call `yes_at` (never
// when 0).
struct Asked {
    int calls = 0;
    int yes_at = 0;
};

bool answer(void* context)
{
    auto* asked = static_cast<Asked*>(context);
    ++asked->calls;
    return asked->calls == asked->yes_at;
}

StericStop stop_by(Asked* asked, std::chrono::nanoseconds interval)
{
    return {answer, asked, interval};
}

TEST(StericStop, ACheckThatNeverSaysYesChangesNoBitOnAnyThreads)
{
    // A long rod around cylinders is work enough that an unthrottled check
    // is asked many times before the workers finish.
    const Shape s = rod(200.0);
    const StericOrder alone = steric_order(s.atoms(), phage, 3000, 1);
    for (int workers : {1, 2, 3}) {
        Asked asked;
        const StericOrder o =
            steric_order(s.atoms(), phage, 3000, workers, stop_by(&asked, {}));
        EXPECT_GT(asked.calls, 0) << workers;
        for (int i = 0; i < 3; ++i) {
            for (int j = 0; j < 3; ++j) {
                EXPECT_EQ(o.order[i][j], alone.order[i][j]) << workers << i << j;
            }
        }
        EXPECT_EQ(o.allowed, alone.allowed) << workers;
    }
}

TEST(StericStop, AYesEndsEveryWorkerAndTheAverage)
{
    // Hours of work uninterrupted: that the call returns at all shows the
    // workers stopped, and the check is not asked again after its yes.
    const Shape s = rod(200.0);
    for (int workers : {1, 2, 4}) {
        for (int yes_at : {1, 3}) {
            Asked asked;
            asked.yes_at = yes_at;
            EXPECT_THROW(steric_order(s.atoms(), phage, 100000000, workers,
                                      stop_by(&asked, std::chrono::milliseconds(1))),
                         StericInterrupted)
                << workers;
            EXPECT_EQ(asked.calls, yes_at) << workers;
        }
    }
}

}  // namespace

// A charged medium: the uncharged bits where nothing is charged, the same
// bits on any threads, and the physics' own symmetries.
namespace {

const StericField field = {0.05, 50.0, 308.0, 74.8};

// A lumpy, uneven molecule with a few charges of each sign and size.
Shape lumpy(std::vector<double>* charge)
{
    Shape s;
    charge->clear();
    for (int k = 0; k < 120; ++k) {
        const double a = 0.37 * k;
        s.add(12.0 * std::cos(a), 6.0 * std::sin(1.3 * a), 3.0 * std::sin(0.7 * a), 1.7);
        const double values[] = {0.0, 0.0, 1.0, 0.0, -0.5, 0.25};
        charge->push_back(values[k % 6]);
    }
    return s;
}

}  // namespace

TEST(StericCharge, NothingChargedGivesTheUnchargedBits)
{
    std::vector<double> charge;
    const Shape s = lumpy(&charge);
    const std::vector<double> none(charge.size(), 0.0);
    StericField neutral = field;
    neutral.charge_density = 0.0;
    for (const StericMedium& medium : {walls, phage}) {
        for (int workers : {1, 2}) {
            const StericOrder plain = steric_order(s.atoms(), medium, 600, workers);
            const StericOrder a = charged_order(s.atoms(), none.data(), field, medium, 600, workers);
            const StericOrder b =
                charged_order(s.atoms(), charge.data(), neutral, medium, 600, workers);
            for (const StericOrder& o : {a, b}) {
                EXPECT_EQ(o.allowed, plain.allowed);
                for (int i = 0; i < 3; ++i) {
                    for (int j = 0; j < 3; ++j) {
                        EXPECT_EQ(o.order[i][j], plain.order[i][j]);
                    }
                }
            }
        }
    }
}

TEST(StericCharge, SameBitsOnAnyThreadsAndBlindToAGlobalSignFlip)
{
    std::vector<double> charge;
    const Shape s = lumpy(&charge);
    std::vector<double> flipped(charge);
    for (double& q : flipped) {
        q = -q;
    }
    StericField reversed = field;
    reversed.charge_density = -field.charge_density;
    for (const StericMedium& medium : {walls, phage}) {
        const StericOrder one = charged_order(s.atoms(), charge.data(), field, medium, 600, 1);
        const StericOrder three = charged_order(s.atoms(), charge.data(), field, medium, 600, 3);
        const StericOrder flip =
            charged_order(s.atoms(), flipped.data(), reversed, medium, 600, 2);
        const StericOrder plain = steric_order(s.atoms(), medium, 600, 1);
        EXPECT_EQ(one.allowed, three.allowed);
        EXPECT_NEAR(flip.allowed, one.allowed, 1e-14);
        EXPECT_NE(one.allowed, plain.allowed);
        for (int i = 0; i < 3; ++i) {
            for (int j = 0; j < 3; ++j) {
                EXPECT_EQ(one.order[i][j], three.order[i][j]);
                EXPECT_NEAR(flip.order[i][j], one.order[i][j], 1e-14);
            }
        }
    }
}

TEST(StericCharge, PotentialFallsByTheDebyeLength)
{
    // Far from the surface Gouy-Chapman is linear: 4 gamma e^(-s/lambda).
    const Screening screen = screening(field);
    const double lambda = debye_length(field);
    EXPECT_NEAR(lambda, 13.50, 0.01);  // 50 mM at 308 K in water: 3.04 A / sqrt(M) at 25 C, scaled
    const double far = reduced_potential(screen, 10.0 * lambda);
    EXPECT_NEAR(far / (4.0 * screen.gamma * std::exp(-10.0)), 1.0, 1e-8);
    EXPECT_NEAR(reduced_potential(screen, 0.0), surface_potential(field), 1e-14);
}
