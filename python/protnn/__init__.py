"""protnn: the Python glue around pairdist, atomdepth, depthdist and nntrain.

The modules in the order the data passes them: ids (structure ids, finding structures), files
(atomic writes, the readers of text and JSON), sheets (the targets table, the groups sheet),
structure (prep), features, targets, groups, folds, database, nnfiles (nntrain's output),
predictions, ridge, stack (ridge per fold and the networks that learn what it leaves), model,
predict, evaluation, plots, report, versions, plan (what the workflow plans), runinfo,
failures.  Command line: python3 -m protnn (__main__.py).

Every file format has one owner, its only reader and writer:
- targets table (CSV/TSV), groups sheet and groups.tsv: sheets
- failed.tsv (`id step message`): failures
- a feature folder's tables and stamp source.json, feature settings files, batch lists: features
- the database folder (db/<id>/ tables and .target files, scaling.json, fold<k>.db and
  fold<k>.ids lists, new.ids): database
- folds.json: folds
- the stack folder (stack.json, fold<k>/fold.json with the fold's ridge fit and maps,
  fold<k>/db/<id>/x.tab and <output>.target, fold<k>/<output>.db lists): stack
- nntrain's prediction lines and training logs (*.wei.fort.15): nnfiles
- predictions tables (`id output mean sd [target] [role]`): predictions
- model folders (model.json, networks/, types/, reference/, stack/ with the folds' fold.json):
  model
- report folders (index.html, proteins.tsv, the plots): report
- run.json: runinfo; programs.txt: versions
- the workflow's stamps (OUTDIR/stamps/, OUTDIR/batches/): plan
"""

__version__ = "0.1.0"


class ProtnnError(Exception):
    """A refusal of bad input: one line for the user, naming the file or row concerned."""
