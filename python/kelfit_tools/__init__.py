"""Helpers around the :mod:`kelfit` extension module."""
