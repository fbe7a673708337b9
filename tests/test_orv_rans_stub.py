"""python/orv_rans.pyi describes every function of the module with the module's own parameters."""
import ast
import inspect
from pathlib import Path

import orv_rans

STUB = Path(__file__).parents[1] / "python" / "orv_rans.pyi"


def test_stub_matches_the_module():
    funcs = {f.name: f for f in ast.parse(STUB.read_text()).body if isinstance(f, ast.FunctionDef)}
    assert sorted(funcs) == sorted(orv_rans.__all__)
    for name, f in funcs.items():
        assert [a.arg for a in f.args.args] == list(inspect.signature(getattr(orv_rans, name)).parameters)
        doc = ast.get_docstring(f)
        assert doc and "\n" not in doc, name
