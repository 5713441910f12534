"""Checks the dictionary types of the stub qpp.pyi against what the plugin makes.

    check_stub.py QPP_REPLAY STUB INPUT...

Runs each INPUT through qpp-replay with a script that dispatches every flow
dictionary it receives as JSON (the full form from ProcessFlowEvent and
ProcessFlowMap, the statistics form from ProcessFlowStats), and what
qpp.stats() returns on every agent event. Each must match its TypedDict of
the stub (Flow, FlowStats, Statistics): no key the stub lacks, every
key it requires, every value of the declared type. Across all inputs every
key of every TypedDict must have been seen at least once, so that a key the
plugin never makes cannot hide in the stub. Exit status 1 on a mismatch.
"""

import ast
import json
import os
import subprocess
import sys
import tempfile

DUMP_SCRIPT = '''
import json

import qpp


def ProcessFlowEvent(event, flow):
    qpp.dispatch("dump", ["Flow"], json.dumps(flow))


def ProcessFlowMap(flows):
    for flow in flows:
        qpp.dispatch("dump", ["Flow"], json.dumps(flow))


def ProcessFlowStats(flows):
    for flow in flows:
        qpp.dispatch("dump", ["FlowStats"], json.dumps(flow))


def ProcessAgentEvent(event):
    qpp.dispatch("dump", ["Statistics"], json.dumps(qpp.stats()))
'''


def read_typed_dicts(path):
    """Maps each TypedDict of the stub to {key: (annotation, required)}."""
    with open(path) as stub:
        tree = ast.parse(stub.read(), path)
    types = {}
    for node in tree.body:
        if not isinstance(node, ast.ClassDef):
            continue
        bases = [b.id for b in node.bases if isinstance(b, ast.Name)]
        if not any(b == "TypedDict" or b in types for b in bases):
            continue
        fields = {}
        for base in bases:
            fields.update(types.get(base, {}))
        for item in node.body:
            if isinstance(item, ast.AnnAssign):
                annotation, required = item.annotation, True
                if (isinstance(annotation, ast.Subscript) and
                        isinstance(annotation.value, ast.Name) and
                        annotation.value.id == "NotRequired"):
                    annotation, required = annotation.slice, False
                fields[item.target.id] = (annotation, required)
        types[node.name] = fields
    return types


class Checker:
    def __init__(self, types):
        self.types = types
        self.seen = {name: set() for name in types}
        self.problems = []

    def check(self, value, annotation, where):
        if isinstance(annotation, ast.Name):
            name = annotation.id
            if name in self.types:
                self.check_dict(value, name, where)
            elif name == "bool":
                self.expect(isinstance(value, bool), value, name, where)
            elif name in ("int", "str", "float"):
                kind = {"int": int, "str": str, "float": float}[name]
                self.expect(isinstance(value, kind) and not isinstance(value, bool),
                            value, name, where)
            else:
                self.problems.append("%s: the stub's type %s is not known here" % (where, name))
        elif (isinstance(annotation, ast.Subscript) and
              isinstance(annotation.value, ast.Name) and annotation.value.id == "list"):
            if self.expect(isinstance(value, list), value, "list", where):
                for i, item in enumerate(value):
                    self.check(item, annotation.slice, "%s[%d]" % (where, i))
        else:
            self.problems.append("%s: the stub's annotation %s is not known here" %
                                 (where, ast.dump(annotation)))

    def expect(self, ok, value, name, where):
        if not ok:
            self.problems.append("%s: %r is not %s" % (where, value, name))
        return ok

    def check_dict(self, value, name, where):
        if not self.expect(isinstance(value, dict), value, name, where):
            return
        fields = self.types[name]
        for key in value:
            if key not in fields:
                self.problems.append("%s: key %r is not in the stub's %s" % (where, key, name))
        for key, (annotation, required) in fields.items():
            if key in value:
                self.seen[name].add(key)
                self.check(value[key], annotation, "%s.%s" % (where, key))
            elif required:
                self.problems.append("%s: required key %r of %s is missing" % (where, key, name))


def main():
    replay, stub, inputs = sys.argv[1], sys.argv[2], sys.argv[3:]
    types = read_typed_dicts(stub)
    for name in ("Flow", "FlowStats", "Statistics"):
        if name not in types:
            print("check_stub: the stub has no TypedDict %s" % name)
            return 1
    checker = Checker(types)
    payloads = 0
    with tempfile.TemporaryDirectory() as scratch:
        script = os.path.join(scratch, "dump_flows.py")
        with open(script, "w") as f:
            f.write(DUMP_SCRIPT)
        for number, path in enumerate(inputs):
            output = os.path.join(scratch, "payloads-%d.jsonl" % number)
            subprocess.run([replay, "--script", script, "--sink-output", output, path],
                           check=True, stdout=subprocess.DEVNULL)
            with open(output) as lines:
                for line_number, line in enumerate(lines, 1):
                    record = json.loads(line)
                    name = record["channels"][0]
                    checker.check_dict(json.loads(record["payload"]), name,
                                       "%s payload %d (%s)" % (os.path.basename(path),
                                                               line_number, name))
                    payloads += 1
    for name, fields in types.items():
        for key in sorted(set(fields) - checker.seen[name]):
            checker.problems.append("key %r of %s never appeared" % (key, name))
    for problem in checker.problems[:50]:
        print("check_stub: " + problem)
    if checker.problems:
        print("check_stub: %d problems in %d dictionaries" % (len(checker.problems), payloads))
        return 1
    print("check_stub: %d dictionaries match the stub; every key of its %d types appeared" %
          (payloads, len(types)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
