"""MkDocs hook: the benchmarks' plots, kept beside the benchmarks that draw
them, served as img/*.png."""

from pathlib import Path

from mkdocs.structure.files import File

BENCHMARKS = Path(__file__).resolve().parent.parent / "benchmarks"


def on_files(files, config):
    for plot in sorted(BENCHMARKS.glob("*.png")):
        files.append(File.generated(config, f"img/{plot.name}", abs_src_path=str(plot)))
    return files
