"""What the side-by-side benchmark scripts share: the words their generated
items are made of, wall-time runs of programs taking turns, and the
harness's processes on this checkout's package with tasks of local files."""
import os
import subprocess
import sys
import time

# This checkout's Python package, for the scripts and the harness processes
# they start.
PACKAGE = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))

# Plain English words; the benchmark fixture's vocabulary splits them into
# pieces of up to three letters, about two tokens a word with punctuation.
WORDS = """
about above across after again against along among animal answer around asked
away back began behind being below between bird black blue body book both bring
brought built called came carry cause center change children city close cold
color common could country course cover cross daily dark deep different
direction distance door down draw during early earth east easy enough even
every example face fact family farm father feel field figure fire first fish
five floor follow food foot force form found four friend front full game garden
gave give good government great green ground group grow half hand happen hard
head hear heard heat heavy help high hold home horse house hundred idea important
inch island keep kind king land language large last later learn leave left
letter life light line list listen little live long look machine made main make
many mark measure might mile mind minute money moon morning mother mountain move
much music must name near need never next night north note nothing notice number
object ocean often open order other over page paper part pass pattern people
perhaps picture piece place plain plan plant play point port position power
press problem product pull question quick rain reach read ready real record
remember rest river road rock room round rule same school science second sentence
serve several shape ship short should show side simple since size slowly small
snow sound south space special stand star start state station stay step still
stood story street strong study such summer surface table tail take talk teacher
tell test there thing think those though thought thousand three through time
together told took toward town travel tree true under unit until usual valley
very voice wait walk warm watch water weather week weight well west wheel where
which while white whole wind window winter within without wood word work world
would write year young
""".split()


def timed(argv, log=None, env=None, cwd=None):
    """Runs argv to the end and returns its wall time; its output goes to
    log (a path) or is kept for the message when it fails, which ends the
    benchmark."""
    start = time.perf_counter()
    try:
        if log is not None:
            with open(log, "w") as out:
                done = subprocess.run(argv, stdout=out, stderr=subprocess.STDOUT, env=env, cwd=cwd)
        else:
            done = subprocess.run(argv, capture_output=True, text=True, env=env, cwd=cwd)
    except OSError as e:
        sys.exit("cannot run %s: %s" % (argv[0], e))
    seconds = time.perf_counter() - start
    if done.returncode != 0:
        where = "log: %s" % log if log is not None else done.stderr[-3000:]
        sys.exit("%s exited with %d (%s)" % (argv[0], done.returncode, where))
    return seconds


def taking_turns(runs, jobs):
    """Runs the jobs in turn, `runs` rounds, so that other load on the
    machine falls alike on all of them; each job is called with the round
    and returns its wall time. Each job's times, in round order."""
    times = [[] for _ in jobs]
    for round_ in range(runs):
        for k, job in enumerate(jobs):
            times[k].append(job(round_))
    return times


def use_checkout_package():
    """Imports this checkout's package in this process. The library
    VL_LLAMA_SHIM_LIBRARY names is made an absolute path, as the harness's
    processes run from the task folder."""
    sys.path.insert(0, PACKAGE)
    if os.environ.get("VL_LLAMA_SHIM_LIBRARY"):
        os.environ["VL_LLAMA_SHIM_LIBRARY"] = os.path.abspath(os.environ["VL_LLAMA_SHIM_LIBRARY"])


def harness_env(work, **extra):
    """The environment of a harness process: this checkout's package, no
    network, the datasets' cache under work, and extra."""
    return dict(os.environ, PYTHONPATH=PACKAGE, HF_DATASETS_OFFLINE="1", HF_HUB_OFFLINE="1",
                HF_HOME=os.path.join(work, "hf"), **extra)


def task_yaml(task, paths, body):
    """A harness task's YAML that reads local JSON lines: paths["test"] the
    questions and, when given, paths["train"] the few-shot examples, taken
    first to last; body is the rest."""
    files = "".join("    %s: %s\n" % (split, paths[split]) for split in ("train", "test") if split in paths)
    fewshot = ("training_split: train\nfewshot_split: train\n" if "train" in paths else "")
    sampler = ("fewshot_config:\n  sampler: first_n\n" if "train" in paths else "")
    return ("task: %s\ndataset_path: json\ndataset_kwargs:\n  data_files:\n%s%stest_split: test\n%s%s"
            % (task, files, fewshot, sampler, body))
