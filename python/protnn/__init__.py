"""protnn: the Python glue around pairdist, depthdist, atomdepth and nntrain.

Structures in any format gemmi reads to clean PDB files (structure), the example targets
(targets), nntrain databases with scaled targets and group-wise folds (database), nntrain's
prediction output and training logs (nnfiles), labelled predictions (predictions) and an HTML
report with plots (report).  Command line: python3 -m protnn (see __main__.py).
"""

__version__ = "0.1.0"


class ProtnnError(Exception):
    """A refusal of bad input: one line for the user, naming the file or row concerned."""
