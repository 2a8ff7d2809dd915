# The database of scaled targets and fold lists (protnn db), then FOLDS x NETS trainings, one
# nntrain job each.  Network n of fold k gets the seed SEED + (k-1)*NETS + (n-1): every network
# of the run has its own explicit seed (the default seed has a resolution of one second, so
# jobs started together would otherwise train the same network).


def other_resources(name):
    return res("other", name, {"mem_mb": 2000, "runtime": 30}[name])


# The targets table of the run: the given one plus an empty row for every structure that it
# has no row for (predicted as a new protein; the Snakefile has warned about them).
rule targets_table:
    input:
        TARGETS,
    output:
        f"{OUT}/targets.csv",
    params:
        ids=IDS,
    shell:
        "{PY} {workflow.basedir}/scripts/targets_table.py {input:q} {output:q} {params.ids:q}"


rule db:
    input:
        tables=expand(f"{OUT}/features/{{id}}/{{t}}", id=IDS, t=INPUTS),
        targets=rules.targets_table.output[0],
    output:
        directory(f"{OUT}/db"),
    log:
        f"{OUT}/logs/db.log",
    benchmark:
        f"{OUT}/benchmarks/db.tsv"
    params:
        folds=FOLDS,
        split_seed=int(config.get("split_seed", 1)),
        test_share=float(config.get("test_share", 0.15)),
        inputs=",".join(INPUTS),
        ids=" ".join(IDS),
    resources:
        mem_mb=other_resources("mem_mb"),
        runtime=other_resources("runtime"),
    shell:
        "{LOGRUN} {log:q} {PROTNN} db --features {OUT:q}/features --targets {input.targets:q}"
        " --out {output:q} --folds {params.folds} --seed {params.split_seed}"
        " --inputs {params.inputs:q} --test-share {params.test_share}"


def net_seed(w):
    return SEED + (int(w.k) - 1) * NETS + int(w.n) - 1


rule train:
    input:
        db=rules.db.output[0],
        programs=PROGRAMS,
    output:
        weights=f"{OUT}/nets/fold{{k}}-net{{n}}.wei",
        log=f"{OUT}/nets/fold{{k}}-net{{n}}.wei.fort.15",
    log:
        f"{OUT}/logs/train/fold{{k}}-net{{n}}.log",
    benchmark:
        f"{OUT}/benchmarks/train/fold{{k}}-net{{n}}.tsv"
    params:
        seed=net_seed,
        nntrain=str(config.get("nntrain", "")),
    threads: 1
    resources:
        mem_mb=res("train", "mem_mb", 2000),
        runtime=res("train", "runtime", 120),
    shell:
        "f=$({PY} {workflow.basedir}/scripts/fold_setting.py {input.db:q} {wildcards.k}) && "
        "{LOGRUN} {log:q} {BIN}/nntrain -l {input.db:q}/fold{wildcards.k}.db -f $f"
        " -r {params.seed} {params.nntrain} -owf {output.weights:q}"
