"""The harness's own command line with the `vorlenta` model registered."""

from lm_eval.__main__ import cli_evaluate

from . import model  # noqa: F401  (registers the model)


def main() -> None:
    cli_evaluate()


if __name__ == "__main__":
    main()
