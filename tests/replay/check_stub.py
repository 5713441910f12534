"""check_stub.py QPP_REPLAY STUB INPUT...: the TypedDicts of the stub qpp.pyi
against the dictionaries the plugin makes from each INPUT (Flow from the flow
callbacks, FlowStats from ProcessFlowStats, Statistics from qpp.stats()): no
key the stub lacks, every key it requires, every value of its type, and every
key of every TypedDict seen at least once. Exit status 1 on a mismatch."""

import ast
import json
import os
import subprocess
import sys
import tempfile

DUMP = '''import json
import qpp
def ProcessFlowEvent(event, flow): qpp.dispatch("d", ["Flow"], json.dumps(flow))
def ProcessFlowMap(flows): [qpp.dispatch("d", ["Flow"], json.dumps(f)) for f in flows]
def ProcessFlowStats(flows): [qpp.dispatch("d", ["FlowStats"], json.dumps(f)) for f in flows]
def ProcessAgentEvent(event): qpp.dispatch("d", ["Statistics"], json.dumps(qpp.stats()))
'''
SCALARS = {"int": int, "str": str, "float": float, "bool": bool}

replay, stub, inputs = sys.argv[1], sys.argv[2], sys.argv[3:]
# Where the scripts run; a runner's statistics are seen only in one.
isolations = os.environ.get("QPP_STUB_ISOLATIONS", "interpreter,process").split(",")
types = {}  # TypedDict name: {key: (annotation text, required)}
for node in ast.parse(open(stub).read(), stub).body:
    bases = [ast.unparse(b) for b in getattr(node, "bases", [])]
    if isinstance(node, ast.ClassDef) and any(b == "TypedDict" or b in types for b in bases):
        fields = {k: v for b in bases for k, v in types.get(b, {}).items()}
        for item in node.body:
            if isinstance(item, ast.AnnAssign):
                text = ast.unparse(item.annotation)
                optional = text.startswith("NotRequired[")
                fields[item.target.id] = (text[12:-1] if optional else text, not optional)
        types[node.name] = fields
seen = {name: set() for name in types}
problems = [] if {"Flow", "FlowStats", "Statistics"} <= set(types) else ["the stub lacks Flow, FlowStats or Statistics"]


def check(value, annotation, where):
    if annotation in types:
        if not isinstance(value, dict):
            problems.append("%s: %r is not %s" % (where, value, annotation))
            return
        for key in sorted(set(value) - set(types[annotation])):
            problems.append("%s: key %r is not in the stub's %s" % (where, key, annotation))
        for key, (inner, required) in types[annotation].items():
            if key in value:
                seen[annotation].add(key)
                check(value[key], inner, where + "." + key)
            elif required:
                problems.append("%s: required key %r of %s is missing" % (where, key, annotation))
    elif annotation.startswith("list[") and isinstance(value, list):
        for i, item in enumerate(value):
            check(item, annotation[5:-1], "%s[%d]" % (where, i))
    elif annotation not in SCALARS or not isinstance(value, SCALARS[annotation]) or \
            (annotation != "bool" and isinstance(value, bool)):
        problems.append("%s: %r is not %s" % (where, value, annotation))


count = 0
with tempfile.TemporaryDirectory() as scratch:
    os.chmod(scratch, 0o755)  # a script runner reads the script as another user
    with open(os.path.join(scratch, "dump.py"), "w") as script:
        script.write(DUMP)
    for path in inputs:
        for isolation in isolations:
            output = os.path.join(scratch, "payloads.jsonl")
            subprocess.run([replay, "--isolation", isolation, "--script", script.name,
                            "--sink-output", output, path], check=True, stdout=subprocess.DEVNULL)
            for number, line in enumerate(open(output), 1):
                record = json.loads(line)
                name = record["channels"][0]
                where = "%s %s payload %d (%s)" % (os.path.basename(path), isolation, number, name)
                check(json.loads(record["payload"]), name, where)
                count += 1
if "process" not in isolations:
    seen["Statistics"].add("runner")
    types.pop("RunnerStatistics", None)
problems += ["key %r of %s never appeared" % (k, n) for n, f in types.items() for k in sorted(set(f) - seen[n])]
for problem in problems[:50]:
    print("check_stub: " + problem)
print("check_stub: %d problems in %d dictionaries of %d types" % (len(problems), count, len(types)))
sys.exit(1 if problems else 0)
