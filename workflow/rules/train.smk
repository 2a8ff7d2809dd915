# The groups of the training proteins (the table's group column, or sequence groups made by
# protnn groups, or none), the database of scaled targets and fold lists (protnn db), then
# FOLDS x NETS trainings, one nntrain job each.  Only proteins with all targets known whose
# features succeeded enter the database, so a structure without targets never changes it.
# Network n of fold k gets the seed SEED + (k-1)*NETS + (n-1) (protnn.plan.net_seed): every network of
# the run has its own explicit seed.


def other_resources(name):
    return res("other", name, {"mem_mb": 2000, "runtime": 30}[name])


rule groups:
    input:
        batches=[BATCH_LIST[b] for b in TRAIN_BATCHES],
        structures=[BATCH_KEY[b] for b in TRAIN_BATCHES],
        settings=GROUPS_STAMP,
    output:
        groups=f"{OUT}/groups.tsv",
        failed=f"{OUT}/groups.failed.tsv",
    log:
        f"{OUT}/logs/groups.log",
    benchmark:
        f"{OUT}/benchmarks/groups.tsv"
    threads: 2
    resources:
        mem_mb=other_resources("mem_mb"),
        runtime=other_resources("runtime"),
    script:
        JOBS


rule db:
    input:
        done=batch_files(TRAIN_BATCHES, ".done"),
        failed=batch_files(TRAIN_BATCHES, ".failed.tsv"),
        targets=TARGETS_STAMP,
        settings=DB_STAMP,
        groups=[f"{OUT}/groups.tsv", f"{OUT}/groups.failed.tsv"] if GROUPS == "sequence" else [],
    output:
        directory(f"{OUT}/db"),
    log:
        f"{OUT}/logs/db.log",
    benchmark:
        f"{OUT}/benchmarks/db.tsv"
    params:
        featdir=FEATDIR,
    resources:
        mem_mb=other_resources("mem_mb"),
        runtime=other_resources("runtime"),
    script:
        JOBS


rule train:
    input:
        db=rules.db.output[0],
        settings=TRAIN_STAMP,
        programs=PROGRAMS_STAMP,
    output:
        weights=f"{OUT}/nets/fold{{k}}-net{{n}}.wei",
        log=f"{OUT}/nets/fold{{k}}-net{{n}}.wei.fort.15",
    log:
        f"{OUT}/logs/train/fold{{k}}-net{{n}}.log",
    benchmark:
        f"{OUT}/benchmarks/train/fold{{k}}-net{{n}}.tsv"
    params:
        bin=BIN,
        seed=lambda w: plan.net_seed(SEED, NETS, int(w.k), int(w.n)),
        words=WORDS,
    threads: 1
    resources:
        mem_mb=res("train", "mem_mb", 2000),
        runtime=res("train", "runtime", 120),
    script:
        JOBS
