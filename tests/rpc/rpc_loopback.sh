#!/usr/bin/env bash
# Remote workers over loopback: two ggml-rpc-server processes on 127.0.0.1
# hold every layer of the model; what is scored through them must match a
# run without them, and llama.cpp's load report must show the layers on both
# workers (so the check fails if everything silently ran locally). A worker
# address where nothing listens must fail fast, naming it, before anything
# is scored. Every process started here is bounded by timeout and stopped by
# its own id when the script ends, pass or fail.
#
#   rpc_loopback.sh SERVER RPC_HOST MODEL WORKDIR [VL_EVAL TASKS]
set -euo pipefail

server=$1 rpc_host=$2 model=$3 work=$4 vl_eval=${5:-} tasks=${6:-}
export GGML_NO_BACKTRACE=1

pids=()
stop_all() {
    local pid
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
}
trap stop_all EXIT

fail() {
    printf 'FAIL: %s\n' "$*" >&2
    exit 1
}

rm -rf "$work"
mkdir -p "$work"

# 0 when something accepts TCP connections on 127.0.0.1:$1.
listening() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

# Starts a worker on a free port; sets $port and $worker_pid. A port taken between the check
# and the server's bind makes the server exit, and another port is tried.
start_worker() {
    local attempt pid
    for attempt in 1 2 3 4 5 6 7 8; do
        port=$((20000 + RANDOM % 40000))
        listening "$port" && continue
        timeout 300 "$server" -H 127.0.0.1 -p "$port" -t 1 >"$work/worker-$port.log" 2>&1 &
        pid=$!
        pids+=("$pid")
        worker_pid=$pid
        for _ in $(seq 50); do
            listening "$port" && return 0
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        kill "$pid" 2>/dev/null || true
    done
    fail "could not start $server on a free port"
}

# Fails unless the load report in $1 shows model weights on both workers.
check_offloaded() {
    local log=$1 p
    for p in "$port1" "$port2"; do
        grep -Eq "RPC[0-9]*\[127\.0\.0\.1:$p\] model buffer size" "$log" ||
            fail "llama.cpp's load report in $log shows no layers on the worker at port $p"
    done
}

# Fails unless the two files hold the same numbers, each within 1e-3.
check_close() {
    local a=$1 b=$2
    [ -s "$a" ] || fail "$a is empty"
    awk -v A="$a" -v B="$b" 'BEGIN {
        na = 0; while ((getline line < A) > 0) { n = split(line, f, /[^-0-9.eE+]+/); for (i = 1; i <= n; i++) if (f[i] ~ /[0-9]/) x[++na] = f[i] }
        nb = 0; while ((getline line < B) > 0) { n = split(line, f, /[^-0-9.eE+]+/); for (i = 1; i <= n; i++) if (f[i] ~ /[0-9]/) y[++nb] = f[i] }
        if (na != nb || na == 0) { printf "%s has %d numbers, %s has %d\n", A, na, B, nb; exit 1 }
        for (i = 1; i <= na; i++) { d = x[i] - y[i]; if (d < 0) d = -d; if (d > 1e-3) { printf "number %d: %s against %s\n", i, x[i], y[i]; exit 1 } }
    }' || fail "$a and $b differ by more than 1e-3"
}

# Fails unless two results files hold the same items with the same token
# counts and log-probabilities within 1e-3 (the runs' header lines aside).
check_same_scores() {
    python3 - "$1" "$2" <<'PY' || fail "scores in $2 differ from those in $1"
import json, sys
def answers(path):
    with open(path) as f:
        return {r["id"]: r["answers"] for r in map(json.loads, f) if "evaluation" not in r}
local, remote = answers(sys.argv[1]), answers(sys.argv[2])
if not local or local.keys() != remote.keys():
    sys.exit(f"items: {sorted(local)} locally, {sorted(remote)} over the workers")
for item, expected in local.items():
    got = remote[item]
    if [a["tokens"] for a in got] != [a["tokens"] for a in expected]:
        sys.exit(f"{item}: token counts {got} against {expected}")
    for a, b in zip(got, expected):
        if abs(a["logprob"] - b["logprob"]) > 1e-3:
            sys.exit(f"{item}: log-probability {a['logprob']} over the workers, {b['logprob']} locally")
PY
}

start_worker
port1=$port
start_worker
port2=$port
worker2_pid=$worker_pid
workers="127.0.0.1:$port1,127.0.0.1:$port2"

# A host in C: the README's recipe.
timeout 120 "$rpc_host" "$model" >"$work/host-local.txt" 2>"$work/host-local.log" ||
    fail "rpc_host without workers failed: $(tail -n 3 "$work/host-local.log")"
timeout 120 "$rpc_host" "$model" "127.0.0.1:$port1" "127.0.0.1:$port2" \
    >"$work/host-remote.txt" 2>"$work/host-remote.log" ||
    fail "rpc_host with workers failed: $(tail -n 3 "$work/host-remote.log")"
check_offloaded "$work/host-remote.log"
check_close "$work/host-local.txt" "$work/host-remote.txt"
echo "C host: the same logits with every layer on the two workers"

[ -n "$vl_eval" ] || exit 0

# vl-eval: the same task file scored locally and with every layer on the
# workers (by default with --rpc), the load report asked for with --verbose.
timeout 120 "$vl_eval" --model "$model" --tasks "$tasks" --out "$work/local.jsonl" \
    --threads 1 --quiet >"$work/local.txt" 2>"$work/local.log" ||
    fail "vl-eval without workers failed: $(tail -n 3 "$work/local.log")"
timeout 120 "$vl_eval" --model "$model" --tasks "$tasks" --out "$work/remote.jsonl" \
    --threads 1 --quiet --verbose --rpc "$workers" >"$work/remote.txt" 2>"$work/remote.log" ||
    fail "vl-eval --rpc $workers failed: $(grep vl-eval: "$work/remote.log" | tail -n 3)"
check_offloaded "$work/remote.log"
check_same_scores "$work/local.jsonl" "$work/remote.jsonl"
echo "vl-eval: $(wc -l <"$work/local.jsonl") items, the same scores with every layer on the two workers"

# A worker lost in the middle of a run: the program stops with a message,
# every result written before stays readable, and --resume with a new worker
# in its place ends with the results of an uninterrupted local run.
python3 - "$tasks" "$work/many.jsonl" <<'PY'
import json, sys
items = [json.loads(line) for line in open(sys.argv[1])]
with open(sys.argv[2], "w") as out:
    for n in range(80):
        for item in items:
            out.write(json.dumps(dict(item, id=f"{item['id']}-{n}", context=f"{n}: {item['context']}")) + "\n")
PY
total=$(wc -l <"$work/many.jsonl")
timeout 120 "$vl_eval" --model "$model" --tasks "$work/many.jsonl" --out "$work/many-local.jsonl" \
    --threads 1 --quiet >/dev/null 2>"$work/many-local.log" || fail "vl-eval on $total items failed"
timeout 120 "$vl_eval" --model "$model" --tasks "$work/many.jsonl" --out "$work/lost.jsonl" \
    --threads 1 --quiet --rpc "$workers" >/dev/null 2>"$work/lost.log" &
eval_pid=$!
pids+=("$eval_pid")
for _ in $(seq 600); do
    [ "$(wc -l 2>/dev/null <"$work/lost.jsonl" || echo 0)" -ge 5 ] && break
    sleep 0.05
done
kill "$worker2_pid"
status=0
wait "$eval_pid" || status=$?
done_before=$(wc -l <"$work/lost.jsonl")
[ "$status" -ne 0 ] || fail "vl-eval finished all $total items before the worker was stopped"
[ "$status" -ne 124 ] || fail "vl-eval hung after losing a worker"
grep -q "stopped by ggml" "$work/lost.log" && grep -q -- "--resume" "$work/lost.log" ||
    fail "vl-eval ended with status $status and no message after losing a worker: $(cat "$work/lost.log")"
start_worker
timeout 120 "$vl_eval" --model "$model" --tasks "$work/many.jsonl" --out "$work/lost.jsonl" \
    --threads 1 --quiet --resume --rpc "127.0.0.1:$port1,127.0.0.1:$port" >/dev/null 2>"$work/resumed.log" ||
    fail "vl-eval --resume after a lost worker failed: $(tail -n 3 "$work/resumed.log")"
check_same_scores "$work/many-local.jsonl" "$work/lost.jsonl"
echo "lost worker: status $status after $done_before of $total items, \"$(head -n 1 "$work/lost.log")\"; resumed to the same scores"

# A worker address where nothing listens: a clear error naming it, quickly,
# and no results.
stop_all
pids=()
listening "$port2" && fail "port $port2 still answers after its worker was stopped"
start=$(date +%s%N)
status=0
timeout 60 "$vl_eval" --model "$model" --tasks "$tasks" --out "$work/dead.jsonl" --threads 1 \
    --quiet --rpc "127.0.0.1:$port2" >"$work/dead.txt" 2>"$work/dead.log" || status=$?
elapsed_ms=$((($(date +%s%N) - start) / 1000000))
[ "$status" -ne 0 ] && [ "$status" -ne 124 ] || fail "vl-eval --rpc to a closed port exited with $status"
grep -q "cannot reach RPC server 127.0.0.1:$port2" "$work/dead.log" ||
    fail "no message naming the unreachable server: $(cat "$work/dead.log")"
[ "$elapsed_ms" -lt 10000 ] || fail "vl-eval took ${elapsed_ms} ms to report the unreachable server"
[ ! -s "$work/dead.jsonl" ] || fail "vl-eval scored items although a worker was unreachable"
echo "unreachable worker: \"$(cat "$work/dead.log")\" after ${elapsed_ms} ms"
