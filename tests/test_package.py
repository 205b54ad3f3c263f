"""The Python package's own structure: one table of the gate parameters that every
other list of them agrees with, and imports that only point down."""

import argparse
import ast
import dataclasses
import inspect
import pathlib

import pytest

import talvane_rs
from talvane_rs import EnergyTalvane, StreamingEnergyTalvane, _analysis, analyse, cut, run_folder
from talvane_rs.params import PARAMETERS, PRODUCT_PARAMETERS, GateKeywords, GateSettings, ProductKeywords

PACKAGE = pathlib.Path(talvane_rs.__file__).parent

# Bottom first. A module may import from its own part of the package and from
# lower layers; parts in one layer may import each other, without a cycle.
LAYERS = [
    {"_version", "_native", "_analysis", "errors", "units", "samples"},
    {"params", "gate_options", "regions", "columns", "band", "sentences"},
    {"analysis"},
    {"cutting", "plot", "chunks"},
    {"io"},
    {"actions"},
    {"engine"},
    {"tune"},
    {"live"},
    {"cli"},
    {"__init__", "__main__"},
]


def stub_parameters(stub, owner, function):
    """Names and defaults of a function of a stub file, or of a class's method."""
    tree = ast.parse((PACKAGE / stub).read_text())
    if owner is not None:
        (tree,) = [n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == owner]
    (node,) = [n for n in tree.body if isinstance(n, ast.FunctionDef) and n.name == function]
    args = node.args
    found = dict(zip([a.arg for a in args.args[len(args.args) - len(args.defaults):]],
                     (ast.literal_eval(d) for d in args.defaults)))  # fmt: skip
    found |= {a.arg: ast.literal_eval(d) for a, d in zip(args.kwonlyargs, args.kw_defaults) if d is not None}
    names = [a.arg for a in (*args.args, *args.kwonlyargs) if a.arg not in ("self", "cls")]
    return names, found


def test_every_list_of_the_parameters_is_the_table():
    table = {p.name: p.default for p in PARAMETERS}
    product = {p.name: p.default for p in PRODUCT_PARAMETERS}
    assert len(table) == 14 and list(product)[:14] == list(table)
    for cls in (EnergyTalvane, StreamingEnergyTalvane):
        native = inspect.signature(cls).parameters
        assert {name: p.default for name, p in native.items()} == table
        names, defaults = stub_parameters("_native.pyi", cls.__name__, "__init__")
        assert names == list(table) and defaults == table
    native = ["data", "sample_rate", *table, "low_hz", "high_hz", "rule", "music"]
    assert list(inspect.signature(_analysis.analyse).parameters) == native
    names, defaults = stub_parameters("_analysis.pyi", None, "analyse")
    assert names == native and defaults == {}
    names, defaults = stub_parameters("_analysis.pyi", "Stream", "__new__")
    assert names == ["sample_rate", "band", "on_event", *table, "rule", "music", "preset"]
    assert defaults == {"band": None, "on_event": None, **table, "rule": None, "music": None, "preset": None}
    # The settings value and the keywords the library calls take.
    fields = {f.name: f.default for f in dataclasses.fields(GateSettings)}
    assert fields == product
    assert list(GateKeywords.__annotations__) == list(table) and list(ProductKeywords.__annotations__) == list(product)
    for function in (analyse, cut, run_folder):
        keywords = inspect.signature(function).parameters
        assert {n: p.default for n, p in keywords.items() if p.kind is p.KEYWORD_ONLY and n in product} == product
    # The command line offers each parameter a command reads; one left out is the preset's.
    from talvane_rs.cli.commands import COMMANDS
    from talvane_rs.cli.parser import build_parser

    offered = set()
    for name in COMMANDS:
        _, sub = build_parser(name)
        for action in sub._actions:
            if action.dest in product:
                assert action.default is argparse.SUPPRESS, (sub.prog, action.dest)
                offered.add(action.dest)
            assert action.dest != "preset" or action.default == "speech"
    assert offered == set(product)
    # The page's controls: one for each parameter.
    from talvane_rs.tune.settings import CUT_OPTIONS, SLIDERS

    assert set(SLIDERS) == set(table) - {"enabled"} | set(CUT_OPTIONS)


def part_of(module):
    """The part of the package a module belongs to: talvane_rs.engine.plan is in engine."""
    parts = module.split(".")
    return parts[1] if len(parts) > 1 else "__init__"


def imports_of(path, module, modules):
    """The package modules a file imports, wherever the import stands (functions
    and type-checking blocks included): for "from a import b", a.b if that is a
    module, else a."""
    package = module if path.name == "__init__.py" else module.rsplit(".", 1)[0]
    found = set()
    for node in ast.walk(ast.parse(path.read_text())):
        if isinstance(node, ast.Import):
            found |= {a.name for a in node.names}
        elif isinstance(node, ast.ImportFrom):
            base = node.module or ""
            if node.level:
                up = package.split(".")[: len(package.split(".")) - node.level + 1]
                base = ".".join(up + ([base] if base else []))
            found |= {f"{base}.{a.name}" if f"{base}.{a.name}" in modules else base for a in node.names}
    return {n for n in found if n.split(".")[0] == "talvane_rs"}


def test_imports_point_down_and_never_in_a_cycle():
    modules = {}
    for path in PACKAGE.rglob("*.py"):
        rel = path.relative_to(PACKAGE.parent).with_suffix("")
        name = ".".join(rel.parts[:-1] if rel.name == "__init__" else rel.parts)
        modules[name] = path
    extensions = {f"talvane_rs.{name}": None for name in ("_native", "_analysis")}  # they import nothing of ours
    modules.update(extensions)
    layer = {part: i for i, parts in enumerate(LAYERS) for part in parts}
    graph = {name: set() for name in extensions}
    for name, path in modules.items():
        if path is None:
            continue
        assert part_of(name) in layer, f"{name} is in no layer"
        targets = {t for t in imports_of(path, name, modules) if t in modules and t != name}
        graph[name] = targets
        for target in targets:
            if target == "talvane_rs":
                pytest.fail(f"{name} imports the package itself, the top layer")
            here, there = layer[part_of(name)], layer[part_of(target)]
            assert there <= here, f"{name} imports {target}, which is above it"
    # No cycle: a depth-first walk never meets a module still on its path.
    state = {}

    def visit(name, path):
        state[name] = "open"
        for target in graph[name]:
            if state.get(target) == "open":
                pytest.fail("import cycle: " + " -> ".join([*path, name, target]))
            if target not in state:
                visit(target, [*path, name])
        state[name] = "done"

    for name in graph:
        if name not in state:
            visit(name, [])
