# The programs: this checkout's build tree (built first when a program is missing) or the
# folder named by the setting bindir.  Every job that runs a program depends on programs.txt,
# which lists the programs with their versions and sha256: a stamp that common.smk writes when
# the programs are there (a program rebuilt or replaced under the same version line is another
# program, and what it computed is computed again); this job builds them when one is missing.

rule programs:
    output:
        PROGRAMS,
    log:
        f"{OUT}/logs/programs.log",
    params:
        bin=BIN,
        repo=REPO,
    script:
        JOBS
