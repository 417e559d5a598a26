"""End-to-end demo of quillet_python_sdk on embedded sample data."""

import quillet_python_sdk as sdk

SEED = "quillet demo seed: market maker 7, do not use for real funds"


def main() -> None:
    private_key = sdk.private_key_from_seed(SEED)
    print(f"seed         {SEED!r}")
    print(f"private key  {private_key}")


if __name__ == "__main__":
    main()
