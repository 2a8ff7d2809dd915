# Predictions: each fold's held-out proteins by that fold's networks (role cv), the proteins
# without targets by the networks of all folds (role new), each averaged with nntrain -aw and
# labelled in target units by protnn collect; then OUTDIR/predictions.tsv, the report
# (OUTDIR/report/index.html) and its summary (OUTDIR/summary.txt).

HEADER = "id\toutput\tmean\tsd\ttarget\trole"


def fold_weights(w):
    return expand(f"{OUT}/nets/fold{w.k}-net{{n}}.wei", n=range(1, NETS + 1))


ALL_WEIGHTS = expand(f"{OUT}/nets/fold{{k}}-net{{n}}.wei", k=range(1, FOLDS + 1),
                     n=range(1, NETS + 1))


rule predict_cv:
    input:
        db=rules.db.output[0],
        weights=fold_weights,
        programs=PROGRAMS,
    output:
        lst=f"{OUT}/predictions/fold{{k}}.weights",
        out=f"{OUT}/predictions/fold{{k}}.out",
        tsv=f"{OUT}/predictions/fold{{k}}.tsv",
    log:
        nntrain=f"{OUT}/logs/predict/fold{{k}}.nntrain.log",
        collect=f"{OUT}/logs/predict/fold{{k}}.collect.log",
    benchmark:
        f"{OUT}/benchmarks/predict/fold{{k}}.tsv"
    group:
        "predict"
    resources:
        mem_mb=other_resources("mem_mb"),
        runtime=other_resources("runtime"),
    shell:
        "printf '%s\\n' {input.weights:q} > {output.lst:q} && "
        "{LOGRUN} -o {output.out:q} {log.nntrain:q} {BIN}/nntrain -aw {output.lst:q}"
        " -prl {input.db:q}/fold{wildcards.k}.ids && "
        "{LOGRUN} {log.collect:q} {PROTNN} collect {output.out:q} --db {input.db:q}"
        " --targets {OUT:q}/targets.csv --role cv -o {output.tsv:q}"


# The proteins without targets, when there are any (new.ids may be empty: then the table has
# only its header).
rule predict_new:
    input:
        db=rules.db.output[0],
        weights=ALL_WEIGHTS,
        programs=PROGRAMS,
    output:
        lst=f"{OUT}/predictions/new.weights",
        out=f"{OUT}/predictions/new.out",
        tsv=f"{OUT}/predictions/new.tsv",
    log:
        nntrain=f"{OUT}/logs/predict/new.nntrain.log",
        collect=f"{OUT}/logs/predict/new.collect.log",
    benchmark:
        f"{OUT}/benchmarks/predict/new.tsv"
    group:
        "predict"
    resources:
        mem_mb=other_resources("mem_mb"),
        runtime=other_resources("runtime"),
    shell:
        "printf '%s\\n' {input.weights:q} > {output.lst:q} && "
        "if [ -s {input.db:q}/new.ids ]; then "
        "{LOGRUN} -o {output.out:q} {log.nntrain:q} {BIN}/nntrain -aw {output.lst:q}"
        " -prl {input.db:q}/new.ids && "
        "{LOGRUN} {log.collect:q} {PROTNN} collect {output.out:q} --db {input.db:q}"
        " --targets {OUT:q}/targets.csv --role new -o {output.tsv:q}; "
        "else : > {output.out:q} && : > {log.nntrain:q} && : > {log.collect:q} && "
        "printf '%s\\n' {HEADER:q} > {output.tsv:q}; fi"


# One table: the header once, then the rows of every fold and of the new proteins.
rule merge_predictions:
    input:
        cv=expand(f"{OUT}/predictions/fold{{k}}.tsv", k=range(1, FOLDS + 1)),
        new=f"{OUT}/predictions/new.tsv",
    output:
        f"{OUT}/predictions.tsv",
    params:
        header=HEADER,
    shell:
        "awk -v h={params.header:q} 'FNR == 1 {{ if ($0 != h) {{ print FILENAME \": header is not \" h"
        " > \"/dev/stderr\"; exit 1 }} if (NR == 1) print; next }} {{ print }}'"
        " {input.cv:q} {input.new:q} > {output:q}.tmp && mv -f {output:q}.tmp {output:q}"


rule report:
    input:
        predictions=rules.merge_predictions.output[0],
        logs=expand(f"{OUT}/nets/fold{{k}}-net{{n}}.wei.fort.15", k=range(1, FOLDS + 1),
                    n=range(1, NETS + 1)),
        db=rules.db.output[0],
    output:
        report=directory(f"{OUT}/report"),
        summary=f"{OUT}/summary.txt",
    log:
        f"{OUT}/logs/report.log",
    benchmark:
        f"{OUT}/benchmarks/report.tsv"
    resources:
        mem_mb=other_resources("mem_mb"),
        runtime=other_resources("runtime"),
    shell:
        "{LOGRUN} -o {output.summary:q} {log:q} {PROTNN} report --predictions {input.predictions:q}"
        " --logs {input.logs:q} --db {input.db:q} -o {output.report:q}"
