#!/bin/bash
# Writes the measured figures of one `make bench` run into docs/PERFORMANCE.md: every line a
# benchmark printed that ends in "_ratio VALUE", with the machine it ran on.
#
#   report.sh OUTPUT-OF-THE-RUN DOC
set -euo pipefail
out=$1 doc=$2
{
  echo "# Measured performance"
  echo
  echo "Written by \`make bench\` on $(date -u +%Y-%m-%d): $(nproc) CPUs, $(uname -sr), load average"
  echo "$(cut -d' ' -f1-3 /proc/loadavg) when it ended. Each figure is a ratio against a raw"
  echo "baseline measured in the same process; what each one compares, and its goal, is written at"
  echo "the top of its benchmark in bench/."
  echo
  echo "| benchmark | figure | ratio |"
  echo "|---|---|---:|"
  # Google Benchmark colours its console output; the escapes are not part of the names.
  sed 's/\x1b\[[0-9;]*m//g' "$out" |
    awk '/^== / { bench = $2 } /_ratio [0-9.]+$/ { printf "| %s | %s | %s |\n", bench, $1, $2 }'
} >"$doc"
echo "wrote $doc"
