// The charged surface in its salt solution: the Debye length, the surface
// potential from Grahame's equation and the Gouy-Chapman potential, from
// the SI constants (CODATA 2018) in double precision.
#include <cmath>

#include "steric/steric.h"

namespace {

constexpr double elementary_charge = 1.602176634e-19;    // C
constexpr double boltzmann = 1.380649e-23;               // J/K
constexpr double avogadro = 6.02214076e23;               // 1/mol
constexpr double vacuum_permittivity = 8.8541878128e-12;  // F/m
constexpr double angstrom = 1.0e-10;                      // m
constexpr double square_nanometre = 1.0e-18;              // m^2
// One millimolar is one mole per cubic metre.
constexpr double mol_per_cubic_metre_per_mm = 1.0;

// Ions of each sign per cubic metre in a 1:1 salt of the field's strength.
double ion_density(const StericField& field)
{
    return avogadro * field.ionic_strength * mol_per_cubic_metre_per_mm;
}

// epsilon_0 epsilon_r k T (J F/m).
double thermal_permittivity(const StericField& field)
{
    return vacuum_permittivity * field.permittivity * boltzmann * field.temperature;
}

}  // namespace

double debye_length(const StericField& field)
{
    const double kappa_squared = 2.0 * ion_density(field) * elementary_charge *
                                 elementary_charge / thermal_permittivity(field);
    return 1.0 / std::sqrt(kappa_squared) / angstrom;
}

// Grahame: sigma = sqrt(8 n epsilon_0 epsilon_r k T) sinh(y0 / 2).
double surface_potential(const StericField& field)
{
    const double sigma = field.charge_density * elementary_charge / square_nanometre;
    const double scale = std::sqrt(8.0 * ion_density(field) * thermal_permittivity(field));
    return 2.0 * std::asinh(sigma / scale);
}

Screening screening(const StericField& field)
{
    return {1.0 / debye_length(field), std::tanh(surface_potential(field) / 4.0)};
}

double reduced_potential(const Screening& screen, double distance)
{
    const double g = screen.gamma * std::exp(-screen.kappa * distance);
    return 2.0 * std::log((1.0 + g) / (1.0 - g));
}
