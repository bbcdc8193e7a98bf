"""What a fit tells a person: tensor reports, text tables and figures."""
