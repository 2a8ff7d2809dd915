# The programs: this checkout's build tree (built first when a program is missing) or the
# folder named by the setting bindir.  Every job that runs a program depends on programs.txt,
# which lists the programs and their versions.

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
