# The groups of the training proteins (the table's group column, or sequence groups made by
# protnn groups, or none), the database of scaled targets and fold lists (protnn db), the
# stack of ridge and the networks' inputs (protnn stack), then FOLDS x outputs x NETS
# trainings, one nntrain job each.  Only proteins with all targets known whose
# features succeeded enter the database, so a structure without targets never changes it.
# Network n of output o of fold k gets its own explicit seed (protnn.plan.net_seed).


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


# The networks learn what ridge leaves (protnn stack): per fold the ridge fit, each training
# protein's out-of-fold ridge residual, the networks' input map and the residuals' maps, all
# from the fold's training proteins.
rule stack:
    input:
        db=rules.db.output[0],
        settings=STACK_STAMP,
    output:
        directory(f"{OUT}/stack"),
    log:
        f"{OUT}/logs/stack.log",
    benchmark:
        f"{OUT}/benchmarks/stack.tsv"
    threads: 2
    resources:
        mem_mb=other_resources("mem_mb"),
        runtime=other_resources("runtime"),
    script:
        JOBS


# One job per fold and output trains its NETS networks, two at a time: a job each would
# cost more in Snakemake's bookkeeping than a small network costs to train.
rule train:
    input:
        db=rules.db.output[0],
        stack=rules.stack.output[0],
        settings=TRAIN_STAMP,
        programs=PROGRAMS_STAMP,
    output:
        weights=[f"{OUT}/nets/fold{{k}}-{{o}}-net{n}.wei" for n in range(1, NETS + 1)],
        logs=[f"{OUT}/nets/fold{{k}}-{{o}}-net{n}.wei.fort.15" for n in range(1, NETS + 1)],
    log:
        [f"{OUT}/logs/train/fold{{k}}-{{o}}-net{n}.log" for n in range(1, NETS + 1)],
    benchmark:
        f"{OUT}/benchmarks/train/fold{{k}}-{{o}}.tsv"
    params:
        bin=BIN,
        seeds=lambda w: [plan.net_seed(SEED, len(OUTPUTS), NETS, int(w.k),
                                       OUTPUTS.index(w.o) + 1, n) for n in range(1, NETS + 1)],
        words=WORDS,
    threads: 2
    resources:
        mem_mb=res("train", "mem_mb", 2000),
        runtime=res("train", "runtime", 120),
    script:
        JOBS
