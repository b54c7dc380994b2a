"""Sphinx configuration: the guide in Markdown (MyST), the API reference read
from the stubs by sphinx-autoapi, so the module is neither built nor imported."""

import os
import shutil
import tomllib

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
with open(os.path.join(ROOT, "pyproject.toml"), "rb") as pyproject:
    release = version = tomllib.load(pyproject)["project"]["version"]

project = "manilink"
copyright = "the manilink developers"
extensions = ["myst_parser", "sphinx.ext.autodoc", "autoapi.extension"]
exclude_patterns = ["_build"]
nitpicky = True
# The stubs' docstrings write code the Markdown way, in single backquotes.
default_role = "code"
# A block without a language is shown as it is, not read as Python.
highlight_language = "text"

myst_heading_anchors = 3
myst_enable_extensions = ["deflist"]

# sphinx-autoapi names a package after its folder, "manilink-stubs": it reads
# the stubs as the module they describe, from a copy named manilink.pyi.
API_STUBS = os.path.join(ROOT, "build", "docs-stubs")
os.makedirs(API_STUBS, exist_ok=True)
shutil.copyfile(
    os.path.join(ROOT, "stubs", "manilink-stubs", "__init__.pyi"),
    os.path.join(API_STUBS, "manilink.pyi"),
)
autoapi_dirs = [API_STUBS]
autoapi_file_patterns = ["*.pyi"]
autoapi_generate_api_docs = False  # api.md places the module with autoapimodule

html_theme = "furo"
html_title = "manilink " + release
html_static_path = ["_static"]
html_css_files = ["manilink.css"]
