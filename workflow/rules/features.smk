# Per structure: a clean PDB file, its pairdist table, its depth files and its depthdist table.
# The four jobs are short (well under a second for most proteins), so they share the group
# "features": on a cluster the Slurm profile packs the groups of many structures into one
# batch job (--group-components), instead of one scheduler round trip per job.

def features_resources(name):
    return res("features", name, {"mem_mb": 2000, "runtime": 10}[name])


rule prep:
    input:
        structure=lambda w: STRUCTURES[w.id],
        programs=PROGRAMS,
    output:
        f"{OUT}/structures/{{id}}.pdb",
    log:
        f"{OUT}/logs/prep/{{id}}.log",
    benchmark:
        f"{OUT}/benchmarks/prep/{{id}}.tsv"
    params:
        model=f"--model {int(config.get('model') or 0)}" if int(config.get("model") or 0) else "",
    group:
        "features"
    resources:
        mem_mb=features_resources("mem_mb"),
        runtime=features_resources("runtime"),
    shell:
        "{LOGRUN} {log:q} {PROTNN} prep {params.model} {input.structure:q} {output:q}"


rule pairdist:
    input:
        pdb=rules.prep.output[0],
        programs=PROGRAMS,
    output:
        f"{OUT}/features/{{id}}/pairdist.tab",
    log:
        f"{OUT}/logs/pairdist/{{id}}.log",
    benchmark:
        f"{OUT}/benchmarks/pairdist/{{id}}.tsv"
    group:
        "features"
    resources:
        mem_mb=features_resources("mem_mb"),
        runtime=features_resources("runtime"),
    shell:
        "{LOGRUN} -o {output:q} {log:q} {BIN}/pairdist -dp {input.pdb:q}"


rule atomdepth:
    input:
        pdb=rules.prep.output[0],
        programs=PROGRAMS,
    output:
        residue=f"{OUT}/depth/{{id}}-residue.depth",
        atom=f"{OUT}/depth/{{id}}-atom.depth",
    log:
        f"{OUT}/logs/atomdepth/{{id}}.log",
    benchmark:
        f"{OUT}/benchmarks/atomdepth/{{id}}.tsv"
    group:
        "features"
    resources:
        mem_mb=features_resources("mem_mb"),
        runtime=features_resources("runtime"),
    shell:
        "{LOGRUN} {log:q} {BIN}/atomdepth -dp {input.pdb:q} -o {OUT:q}/depth/{wildcards.id:q}"


rule depthdist:
    input:
        residue=rules.atomdepth.output.residue,
        atom=rules.atomdepth.output.atom,
        programs=PROGRAMS,
    output:
        f"{OUT}/features/{{id}}/depth.tab",
    log:
        f"{OUT}/logs/depthdist/{{id}}.log",
    benchmark:
        f"{OUT}/benchmarks/depthdist/{{id}}.tsv"
    group:
        "features"
    resources:
        mem_mb=features_resources("mem_mb"),
        runtime=features_resources("runtime"),
    shell:
        "{LOGRUN} -o {output:q} {log:q} {BIN}/depthdist -dp {OUT:q}/depth/{wildcards.id:q}"
