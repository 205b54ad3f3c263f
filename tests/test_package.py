"""The Python package's own structure: one table of the gate parameters that every
other list of them agrees with, and imports that only point down."""

import ast
import inspect
import pathlib

import pytest

import talvane_rs
from talvane_rs import EnergyTalvane, StreamingEnergyTalvane, _analysis, analyse
from talvane_rs.params import PARAMETERS, PRODUCT_PARAMETERS

PACKAGE = pathlib.Path(talvane_rs.__file__).parent

# Bottom first. A module may import from its own part of the package and from
# lower layers; parts in one layer may import each other, without a cycle.
LAYERS = [
    {"_version", "_native", "_analysis", "errors", "units", "samples"},
    {"params", "regions", "columns", "band"},
    {"analysis"},
    {"cutting", "plot"},
    {"io"},
    {"actions"},
    {"jobs"},
    {"flow"},
    {"runners"},
    {"cli", "tune", "live"},
    {"__init__", "__main__"},
]


def stub_signature(cls_name):
    """Names and defaults of a class's __init__ in _native.pyi."""
    tree = ast.parse((PACKAGE / "_native.pyi").read_text())
    (cls,) = [n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == cls_name]
    (init,) = [n for n in cls.body if isinstance(n, ast.FunctionDef) and n.name == "__init__"]
    names = [a.arg for a in init.args.args[1:]]
    return dict(zip(names, (ast.literal_eval(d) for d in init.args.defaults)))


def test_every_list_of_the_parameters_is_the_table():
    table = {p.name: p.default for p in PARAMETERS}
    assert len(table) == 14
    for cls in (EnergyTalvane, StreamingEnergyTalvane):
        native = inspect.signature(cls).parameters
        assert {name: p.default for name, p in native.items()} == table
        assert list(stub_signature(cls.__name__).items()) == list(table.items())
    named = list(inspect.signature(_analysis.analyse).parameters)
    assert named == ["data", "sample_rate", *table, "low_hz", "high_hz", "rule"]
    # The product's own parameters (the band) follow the gate's.
    product = {p.name: p.default for p in PRODUCT_PARAMETERS}
    python = inspect.signature(analyse).parameters
    assert {n: p.default for n, p in python.items() if p.kind is p.KEYWORD_ONLY} == product
    assert list(python)[2:] == list(product)
    # The command line offers each parameter an action reads, with the same default.
    from talvane_rs.cli.parser import build_parser

    parser = build_parser()
    (commands,) = [a for a in parser._actions if a.dest == "command"]
    offered = set()
    for sub in commands.choices.values():
        for action in sub._actions:
            if action.dest in product:
                assert action.default == product[action.dest], (sub.prog, action.dest)
                offered.add(action.dest)
    assert offered == set(product)


def part_of(module):
    """The part of the package a module belongs to: talvane_rs.cli.plan is in cli."""
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
