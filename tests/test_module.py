"""Module registration: names, versions, class shapes and their limits."""
import os
import re
import subprocess
import sys
import textwrap
import weakref

import pytest

import korvane
from korvane import SpectralCodes, SpectralEncoder, SpectralIndex, spectral_energy_retention

CLASSES = [SpectralEncoder, SpectralCodes, SpectralIndex]


@pytest.fixture
def objects():
    enc = SpectralEncoder(8, 4, 4, 4, 4)
    return {
        "encoder": enc,
        "codes": SpectralCodes([1], [2], [3], 4),
        "index": SpectralIndex(enc),
    }


def run_python(code):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in [os.path.dirname(korvane.__file__), env.get("PYTHONPATH")] if p)
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env, capture_output=True, text=True,
                          timeout=60)


# ---- the module object -----------------------------------------------------

def test_module_attributes():
    assert korvane.__all__ == ["SpectralEncoder", "SpectralCodes", "SpectralIndex", "__version__",
                               "spectral_energy_retention"]
    assert korvane.__version__ == "0.1.1"
    assert korvane.__doc__ == ""
    assert korvane.__name__ == "korvane"


def test_module_has_no_other_names():
    set_by_interpreter = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"}
    assert set(vars(korvane)) - set_by_interpreter == set(korvane.__all__) | {"__all__"}


def test_reimport_gives_identical_classes():
    result = run_python("""
        import sys
        import korvane as first
        classes = (first.SpectralEncoder, first.SpectralCodes, first.SpectralIndex)
        fn, names = first.spectral_energy_retention, first.__all__
        del sys.modules["korvane"]
        import korvane as second
        assert second is not first
        assert (second.SpectralEncoder, second.SpectralCodes, second.SpectralIndex) == classes
        assert all(a is b for a, b in zip(classes, (second.SpectralEncoder, second.SpectralCodes, second.SpectralIndex)))
        assert second.__all__ == names and second.__all__ is not names
        assert second.spectral_energy_retention is not fn
        # objects of one import are accepted by the other
        second.SpectralIndex(first.SpectralEncoder(8, 4, 4, 4, 4))
        print("ok")
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


@pytest.mark.parametrize("main_first", [True, False], ids=["main-first", "sub-first"])
def test_other_interpreters_are_refused(tmp_path, main_first):
    out = tmp_path / "outcome"
    sub_code = (
        f"import sys; sys.path.insert(0, {os.path.dirname(korvane.__file__)!r})\n"
        "try:\n"
        "    import korvane\n"
        "    outcome = 'imported '\n"
        "except ImportError:\n"
        "    outcome = 'ImportError '\n"
        f"open({str(out)!r}, 'a').write(outcome)\n"
    )
    result = run_python(f"""
        try:
            import _interpreters as interpreters
        except ImportError:
            try:
                import _xxsubinterpreters as interpreters
            except ImportError:
                print("unavailable")
                raise SystemExit(0)
        if {main_first}:
            import korvane
        for _ in range(3):  # a later interpreter may reuse a destroyed one's memory
            sub = interpreters.create()
            try:
                interpreters.run_string(sub, {sub_code!r})
            finally:
                interpreters.destroy(sub)
        import korvane
        assert korvane.SpectralEncoder(8, 4, 4, 4, 4).encode([1.0] * 8).k == 4
        print("done")
    """)
    assert result.returncode == 0, result.stderr
    if result.stdout.strip() == "unavailable":
        pytest.skip("no sub-interpreter support in this interpreter")
    assert result.stdout.strip() == "done"
    assert out.read_text().split() == ["ImportError"] * 3


@pytest.mark.parametrize("preset, expected", [
    (["first"], ["first"] + korvane.__all__),
    (type("ListSub", (list,), {})(["sub"]), ["sub"] + korvane.__all__),
    (("tuple",), "'tuple' object is not an instance of 'list'"),
    ("str", "'str' object is not an instance of 'list'"),
])
def test_exec_appends_to_an_existing_all(preset, expected):
    import importlib.util

    found = importlib.util.find_spec("korvane")
    module = importlib.util.module_from_spec(found)
    module.__all__ = preset
    if isinstance(expected, str):
        with pytest.raises(TypeError) as ei:
            found.loader.exec_module(module)
        assert str(ei.value) == expected
    else:
        found.loader.exec_module(module)
        assert list(module.__all__) == expected
        assert module.SpectralEncoder is SpectralEncoder


def test_numpy_is_fetched_on_the_first_array():
    result = run_python("""
        import sys
        import korvane
        assert "numpy" not in sys.modules
        enc = korvane.SpectralEncoder(8, 4, 4, 4, 4)
        codes = enc.encode([1.0] * 8)
        assert "numpy" not in sys.modules
        sys.modules["numpy"] = None  # NumPy cannot be imported now
        for read in (lambda: enc.mag_grid, lambda: codes.idx):
            try:
                read()
            except ImportError:
                pass
            else:
                raise AssertionError("array made without NumPy")
        assert enc.dim == 8 and repr(codes).startswith("SpectralCodes(k=4")
        print("ok")
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


# ---- class and member registration -----------------------------------------

@pytest.mark.parametrize("obj, qualname, signature", [
    (SpectralCodes, "SpectralCodes", "(idx, mag_q, phase_q, norm_q)"),
    (SpectralEncoder, "SpectralEncoder", "(dim, top_k, mag_bits, phase_bits, norm_bits)"),
    (SpectralIndex, "SpectralIndex", "(encoder)"),
    (spectral_energy_retention, "spectral_energy_retention", "(embeddings, dim, top_k_list)"),
    (SpectralEncoder.calibrate, "SpectralEncoder.calibrate", "($self, sample)"),
    (SpectralEncoder.encode, "SpectralEncoder.encode", "($self, e)"),
    (SpectralEncoder.encode_batch, "SpectralEncoder.encode_batch", "($self, embeddings)"),
    (SpectralEncoder.bytes_per_chunk, "SpectralEncoder.bytes_per_chunk", "($self)"),
    (SpectralEncoder.set_grids, "SpectralEncoder.set_grids",
     "($self, mag_lo, mag_hi, mag_grid, phase_grid, norm_lo, norm_hi, norm_grid)"),
    (SpectralIndex.add, "SpectralIndex.add", "($self, codes)"),
    (SpectralIndex.add_embeddings, "SpectralIndex.add_embeddings", "($self, embeddings)"),
    (SpectralIndex.search, "SpectralIndex.search", "($self, query, top_k)"),
    (SpectralIndex.search_batch, "SpectralIndex.search_batch", "($self, query_embeddings, top_k)"),
    (SpectralIndex.bytes_per_chunk, "SpectralIndex.bytes_per_chunk", "($self)"),
    (SpectralIndex.total_bytes, "SpectralIndex.total_bytes", "($self)"),
    (SpectralIndex.save, "SpectralIndex.save", "($self, path)"),
    (SpectralIndex.load, "SpectralIndex.load", "(path)"),
])
def test_names_and_text_signatures(obj, qualname, signature):
    assert obj.__qualname__ == qualname
    assert obj.__text_signature__ == signature


def test_class_modules_and_qualnames():
    for cls in CLASSES:
        assert cls.__module__ == "korvane"
        assert cls.__qualname__ == cls.__name__
    assert spectral_energy_retention.__module__ == "korvane"


def test_signature_only_docstrings():
    for method in (SpectralEncoder.calibrate, SpectralEncoder.encode, SpectralIndex.add):
        assert method.__doc__ is None
    assert "not meant for production use" in SpectralEncoder.set_grids.__doc__.lower()


def test_class_members():
    assert {k for k in vars(SpectralCodes) if not k.startswith("__")} == {"idx", "mag_q", "phase_q", "norm_q", "k"}
    assert {k for k in vars(SpectralEncoder) if not k.startswith("__")} == {
        "calibrate", "encode", "encode_batch", "bytes_per_chunk", "set_grids",
        "dim", "top_k", "f", "mag_lo", "mag_hi", "mag_grid", "phase_grid", "norm_grid"}
    assert {k for k in vars(SpectralIndex) if not k.startswith("__")} == {
        "add", "add_embeddings", "search", "search_batch", "bytes_per_chunk", "total_bytes", "save", "load"}
    assert isinstance(vars(SpectralIndex)["load"], staticmethod)


@pytest.mark.parametrize("cls", CLASSES)
def test_not_subclassable(cls):
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


@pytest.mark.parametrize("cls", CLASSES)
def test_class_objects_accept_attributes(cls):
    cls.extra = 1
    try:
        assert cls.extra == 1
    finally:
        del cls.extra


@pytest.mark.parametrize("which", ["encoder", "codes", "index"])
def test_instances_have_no_dict_and_no_weakrefs(objects, which):
    obj = objects[which]
    with pytest.raises(AttributeError):
        obj.anything = 1
    assert not hasattr(obj, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(obj)


@pytest.mark.parametrize("which", ["encoder", "codes", "index"])
def test_instances_are_not_tracked_by_the_cycle_collector(objects, which):
    import gc

    assert not gc.is_tracked(objects[which])


@pytest.mark.parametrize("which, attr", [
    ("codes", "k"), ("codes", "idx"), ("codes", "mag_q"), ("codes", "phase_q"), ("codes", "norm_q"),
    ("encoder", "dim"), ("encoder", "top_k"), ("encoder", "f"), ("encoder", "mag_lo"), ("encoder", "mag_hi"),
    ("encoder", "mag_grid"), ("encoder", "phase_grid"), ("encoder", "norm_grid"),
])
def test_getters_are_read_only(objects, which, attr):
    obj = objects[which]
    before = repr(getattr(obj, attr))
    with pytest.raises(AttributeError):
        setattr(obj, attr, 3)
    with pytest.raises(AttributeError):
        delattr(obj, attr)
    assert repr(getattr(obj, attr)) == before


def test_index_repr_is_the_default(objects):
    assert re.fullmatch(r"<korvane\.SpectralIndex object at 0x[0-9a-f]+>", repr(objects["index"]))
    assert repr(objects["index"]) == object.__repr__(objects["index"])


def test_equality_and_hash_are_identity(objects):
    a, b = SpectralCodes([1], [2], [3], 4), SpectralCodes([1], [2], [3], 4)
    assert a != b and a == a
    assert hash(a) == object.__hash__(a)


@pytest.mark.parametrize("which, method", [
    ("encoder", "bytes_per_chunk"), ("index", "bytes_per_chunk"), ("index", "total_bytes"),
])
def test_no_argument_methods_refuse_arguments(objects, which, method):
    bound = getattr(objects[which], method)
    with pytest.raises(TypeError):
        bound(1)
    with pytest.raises(TypeError):
        bound(x=1)
    assert isinstance(bound(), int)


def test_objects_outlive_each_other_in_any_order():
    enc = SpectralEncoder(8, 4, 4, 4, 4)
    other = SpectralEncoder(8, 4, 4, 4, 4)
    index = SpectralIndex(enc)
    del enc
    index.add_embeddings([[1.0, 2.0, 3.0, 4.0, 0.0, 0.0, 0.0, 1.0]])
    ids, _ = index.search(other.encode([1.0, 2.0, 3.0, 4.0, 0.0, 0.0, 0.0, 1.0]), 1)
    assert list(ids) == [0]
    del index
    assert other.dim == 8
