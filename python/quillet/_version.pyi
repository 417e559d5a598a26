# Written when the wheel is built (pyproject.toml, tool.scikit-build.generate).
__version__: str
