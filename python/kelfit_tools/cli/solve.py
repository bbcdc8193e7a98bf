"""``kelfit solve``: back-calculate couplings from given tensor parameters."""

from __future__ import annotations

import argparse
from functools import partial
from typing import Any

from ..bonds import NH_REFERENCE_LENGTH, SIGN_CONVENTIONS
from ..io import read_table
from ..outputs import write_stdout
from ..prepare import (
    Preparation,
    couplings_on_structure,
    pick_media,
    read_media,
    structure_for_fit,
)
from ..report.couplings import (
    back_calculated_rows,
    is_parquet,
    rows_csv,
    write_parquet,
)
from .common import (
    UsageError,
    check_sources,
    input_options,
    int_at_least,
    lengths,
    log,
    outputs_for,
    positive,
    quiet_options,
    selection,
    tensor_params,
)

__all__ = ["add_parser", "run"]


def add_parser(commands: Any) -> None:
    """Add ``solve`` to the subcommands."""
    s = commands.add_parser(
        "solve",
        parents=[
            quiet_options(),
            input_options("with --structure: only these couplings' vectors"),
        ],
        help="back-calculate values from given tensor parameters",
        description="Write back-calculated values as CSV (or Parquet for a "
        ".parquet --out), one row per coupling with the columns of kelfit fit --out. "
        "With a structure, Da is for N-H at --nh-length and every bond type is "
        "scaled by its dipolar constant, as kelfit fit reports it.",
    )
    s.add_argument(
        "--model",
        type=int_at_least(1, "model must be a number from 1"),
        default=1,
        help="model (default 1)",
    )
    s.add_argument(
        "--params",
        type=tensor_params("--params"),
        required=True,
        metavar="a1,a2,a3,Da,R[,offset]",
        help="the tensor (angles in degrees)",
    )
    s.add_argument(
        "--signs",
        choices=SIGN_CONVENTIONS,
        default="magnitudes",
        help="sign convention of the values written (default magnitudes)",
    )
    s.add_argument(
        "--bond-lengths", choices=("structure", "standard"), default="structure"
    )
    s.add_argument(
        "--nh-length", type=positive, default=NH_REFERENCE_LENGTH, metavar="A"
    )
    s.add_argument("--out", metavar="FILE.csv", help="write here, not to stdout")
    s.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    """Run ``kelfit solve``."""
    check_sources(args, needs_couplings=False)
    outputs = outputs_for(args)
    couplings = None
    if args.table:
        table = read_table(args.table, require_values=False)
        vectors, labels = table.vectors, table.labels
        atoms = None
    elif args.couplings:
        media = pick_media(read_media(args.couplings, args.format), args.medium)
        sv = couplings_on_structure(
            args.structure, media, selection(args), model=args.model,
            chain=args.chain, strict_names=args.strict_names, build_hn=args.build_hn,
        )  # fmt: skip
        vectors, labels, couplings = sv.vectors, sv.labels, sv.couplings
        atoms = [(c.atom_i or "", c.atom_j or "") for c in couplings]
    else:
        from ..io.structure import residue_vectors

        if args.chain or args.types or args.exclude or args.renumber:
            raise UsageError(
                "--chain, --types, --exclude and --renumber go with --couplings"
            )
        pair = args.atoms or ("N", "H")
        report = Preparation()
        structure = structure_for_fit(args.structure, report, build_hn=args.build_hn)
        report.say()
        vectors, labels = residue_vectors(structure, pair, args.model)
        atoms = [pair] * len(labels)
    rows = back_calculated_rows(
        vectors,
        labels,
        args.params,
        model=args.model if args.structure else None,
        couplings=couplings,
        atoms=atoms,
        signs=args.signs,
        bond_lengths=args.bond_lengths,
        nh_length=args.nh_length,
        lengths=lengths(args.length),
    )
    if args.out and is_parquet(args.out):
        try:
            outputs.write_with(args.out, partial(write_parquet, rows))
            outputs.commit()
        finally:
            outputs.discard()
        log.info("wrote %d values to %s", len(rows), args.out)
        return 0
    text = rows_csv(rows)
    if args.out:
        try:
            outputs.write_text(args.out, text)
            outputs.commit()
        finally:
            outputs.discard()
        log.info("wrote %d values to %s", len(rows), args.out)
    else:
        write_stdout(text)
    return 0
