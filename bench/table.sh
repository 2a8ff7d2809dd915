# Shared by the benchmark scripts (sourced): the machine line and the table of medians.
#   machine_line ROUNDS_WORD N      e.g. machine_line reps 7
#   print_table OURS_HEADING ROW...  rows "item|ours|peer|ratio|goal|met?", columns aligned
machine_line() {
  echo "machine: $(lscpu | awk -F: '/Model name/ { gsub(/^ +/, "", $2); print $2 }'), $(nproc) cores; load $(cut -d' ' -f1-3 /proc/loadavg); $1 $2"
}
print_table() {
  local ours=$1
  shift
  {
    echo "item|$ours|peer (median)|ratio|goal|met?"
    printf '%s\n' "$@"
  } | awk -F'|' '{ for (i = 1; i <= NF; i++) { c[NR, i] = $i; if (length($i) > w[i]) w[i] = length($i) } n = NR }
    END { for (r = 1; r <= n; r++) { for (i = 1; i <= 6; i++) printf "%-*s  ", w[i], c[r, i]; printf "\n" } }'
}
