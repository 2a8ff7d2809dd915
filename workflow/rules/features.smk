# The features, one job per batch of structures: `protnn features` prepares each structure
# (protnn prep, in one process), runs pairdist, atomdepth and depthdist, and writes
# OUTDIR/features/<id>/ whole.  It redoes nothing for a structure whose tables were made from
# the same file content with the same settings and programs (its stamp source.json), and a
# structure that fails is listed in the batch's failed table instead of stopping the batch
# (unless strict: true).  The batch job's outputs are the ids done and the failed table; each
# batch job prints a progress line (structures done, failed, left, time left).


rule features:
    input:
        batch=lambda w: BATCH_LIST[w.batch],
        key=lambda w: BATCH_KEY[w.batch],
        settings=FEATURES_STAMP,
        programs=PROGRAMS_STAMP,
        model=[MODEL_STAMP] if MODEL else [],      # predict-only: the model's types files
    output:
        done=f"{OUT}/batches/{{batch}}.done",
        failed=f"{OUT}/batches/{{batch}}.failed.tsv",
    log:
        f"{OUT}/logs/features/{{batch}}.log",
    benchmark:
        f"{OUT}/benchmarks/features/{{batch}}.tsv"
    params:
        bin=BIN,
        featdir=FEATDIR,
        progress=PROGRESS,
        model=MODEL,            # predict-only: the model's types files
    threads: 2                  # structures at a time (protnn features -j)
    resources:
        mem_mb=res("features", "mem_mb", 2000),
        runtime=res("features", "runtime", 60),
    script:
        JOBS


# Every structure that could not be used: refused files, failed features, failed groups.
rule failed:
    input:
        REFUSED_STAMP,
        batch_files(BATCHES, ".failed.tsv"),
        [f"{OUT}/groups.failed.tsv"] if GROUPS == "sequence" and TRAIN_IDS else [],
    output:
        f"{OUT}/failed.tsv",
    script:
        JOBS
