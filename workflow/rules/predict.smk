# Predictions: each fold's held-out proteins by that fold's ridge fit and networks only (role
# cv: nntrain -aw per output, ridge plus the networks by protnn collect --stack); the model folder (protnn model); the proteins without targets
# by the model's networks (role new, protnn.predict.predict_features: the code of protnn
# predict); the ridge baseline; OUTDIR/predictions.tsv, OUTDIR/run.json, OUTDIR/report/ and
# its summary OUTDIR/summary.txt.

ALL_WEIGHTS = [f"{OUT}/nets/{net['file']}" for net in NETWORKS]


rule predict_cv:
    input:
        db=rules.db.output[0],
        stack=rules.stack.output[0],
        weights=lambda w: [f"{OUT}/nets/{net['file']}" for net in NETWORKS
                           if net["fold"] == int(w.k)],
        targets=TARGETS_STAMP,
        programs=PROGRAMS_STAMP,
    output:
        lst=[f"{OUT}/predictions/fold{{k}}-{o}.weights" for o in OUTPUTS],
        out=[f"{OUT}/predictions/fold{{k}}-{o}.out" for o in OUTPUTS],
        tsv=f"{OUT}/predictions/fold{{k}}.tsv",
    log:
        nntrain=[f"{OUT}/logs/predict/fold{{k}}-{o}.nntrain.log" for o in OUTPUTS],
        collect=f"{OUT}/logs/predict/fold{{k}}.collect.log",
    benchmark:
        f"{OUT}/benchmarks/predict/fold{{k}}.tsv"
    params:
        bin=BIN,
        nets=lambda w: [[net["file"] for net in NETWORKS
                         if net["fold"] == int(w.k) and net["output"] == o] for o in OUTPUTS],
    resources:
        mem_mb=other_resources("mem_mb"),
        runtime=other_resources("runtime"),
    script:
        JOBS


# The settings of the run (config after defaults, feature settings, nntrain words, networks
# and seeds, groups) with the versions of the programs and libraries.
rule run_json:
    input:
        settings=RUN_STAMP,
        programs=PROGRAMS_STAMP,
    output:
        f"{OUT}/run.json",
    script:
        JOBS


# The model folder depends on what defines the model (its settings stamp, the database, the
# networks, the groups, the programs), not on the run record's time: run.json changes with the
# structures to predict, which leave the model folder and its files' times alone.
rule model:
    input:
        run=ancient(rules.run_json.output[0]),
        settings=MODEL_SETTINGS,
        db=rules.db.output[0],
        stack=rules.stack.output[0],
        weights=ALL_WEIGHTS,
        groups=GROUPS_FILE,
        programs=PROGRAMS_STAMP,
    output:
        directory(f"{OUT}/model"),
    log:
        f"{OUT}/logs/model.log",
    params:
        bin=BIN,
    script:
        JOBS


# The proteins without targets (or with a target unknown) whose features succeeded, predicted
# with the model folder by the code of protnn predict (the same numbers).
rule predict_new:
    input:
        model=MODEL_STAMP if MODEL else f"{OUT}/model",    # predict-only: the model's content
        done=batch_files(NEW_BATCHES, ".done"),
        programs=PROGRAMS_STAMP,
    output:
        f"{OUT}/predictions/new.tsv",
    log:
        f"{OUT}/logs/predict/new.log",
    benchmark:
        f"{OUT}/benchmarks/predict/new.tsv"
    params:
        bin=BIN,
        featdir=FEATDIR,
        model=MODEL or f"{OUT}/model",
    resources:
        mem_mb=other_resources("mem_mb"),
        runtime=other_resources("runtime"),
    script:
        JOBS


rule ridge:
    input:
        db=rules.db.output[0],
    output:
        f"{OUT}/ridge.tsv",
    log:
        f"{OUT}/logs/ridge.log",
    benchmark:
        f"{OUT}/benchmarks/ridge.tsv"
    threads: 2
    resources:
        mem_mb=other_resources("mem_mb"),
        runtime=other_resources("runtime"),
    script:
        JOBS


rule merge_predictions:
    input:
        [f"{OUT}/predictions/fold{k}.tsv" for k in range(1, FOLDS + 1)] if TRAINING else [],
        f"{OUT}/predictions/new.tsv",
    output:
        f"{OUT}/predictions.tsv",
    script:
        JOBS


rule report:
    input:
        predictions=rules.merge_predictions.output[0],
        failed=rules.failed.output[0],
        run=rules.run_json.output[0],
        logs=[w + ".fort.15" for w in ALL_WEIGHTS],
        db=[rules.db.output[0]] if TRAINING else [],
        ridge=[rules.ridge.output[0]] if TRAINING else [],
        stack=[rules.stack.output[0]] if TRAINING else [],
        # the groups the folds were made of: the table's column (the training targets'
        # stamp) or the sequence groups
        groups=[GROUPS_FILE] if TRAINING and GROUPS_FILE else [],
    output:
        report=directory(f"{OUT}/report"),
        summary=f"{OUT}/summary.txt",
    log:
        f"{OUT}/logs/report.log",
    params:
        featdir=FEATDIR,
    benchmark:
        f"{OUT}/benchmarks/report.tsv"
    resources:
        mem_mb=other_resources("mem_mb"),
        runtime=other_resources("runtime"),
    script:
        JOBS
