"""The release's files around the built exes: the bundle (release/bundle.py),
the roll-out scripts standing alone (standalone.py), the winget and Scoop
manifests (manifests.py), and what the bundle and the package builder
(installer/build_msi.py) both read (identity.py)."""
