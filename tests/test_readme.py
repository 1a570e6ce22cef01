"""The example in the README runs as written and searches as it should."""
import pathlib
import re

import korvane

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"


def example_code():
    """The Python block of the README's Use section."""
    use = README.read_text(encoding="utf-8").split("\n## Use\n", 1)[1]
    return re.search(r"```python\n(.*?)```", use, re.S).group(1)


def test_example_runs_and_each_item_finds_itself(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    ns = {}
    exec(compile(example_code(), str(README), "exec"), ns)
    enc, index, vectors, codes = ns["enc"], ns["index"], ns["vectors"], ns["codes"]
    assert (tmp_path / "vectors.krvn").is_file()

    # A norm within the grid keeps a code inside it, and a unit vector's score
    # against its own codes is about the share of its energy the kept bins hold.
    assert 0 < codes.norm_q < len(enc.norm_grid) - 1
    ids, scores = index.search(codes, 1)
    (_, kept), = korvane.spectral_energy_retention(vectors[:1], enc.dim, [enc.top_k])
    assert ids[0] == 0
    assert abs(scores[0] - kept) < 0.05
    assert [row[0] for row in ns["id_lists"]] == list(range(5))
