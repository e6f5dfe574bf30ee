"""Language names: whatever a rule calls a language, it means the grammar its files are listed under."""

import pytest

from kovel.batch.files import EXTENSIONS, FILE_NAMES
from kovel.rules.langs import ALIASES, language_of
from kovel.treesitter.grammars import available_languages, canonical_name

NAMES = sorted({*ALIASES, *ALIASES.values(), *EXTENSIONS.values(), *FILE_NAMES.values()})


@pytest.mark.parametrize("name", NAMES)
def test_every_name_is_the_one_name_of_its_grammar(name):
    assert canonical_name(language_of(name)) == language_of(name)


# (Names are read whatever their case: `C` names C, though `.C` files are C++.)
@pytest.mark.parametrize("ext, lang", sorted((e, lang) for e, lang in EXTENSIONS.items() if e.islower()))
def test_an_extension_used_as_a_name_is_the_language_of_its_files(ext, lang):
    named = language_of(ext.lstrip("."))
    if named in ALIASES.values() or named in available_languages():
        assert canonical_name(named) == lang
