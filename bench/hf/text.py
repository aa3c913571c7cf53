"""Generated English-like text: the tokenizer's training corpus and the
benchmark's questions come from the same small grammar, so that the
tokenizer splits the questions into common pieces as a real one would."""

WORDS = """
the a an this that these those my your his her our their some every each no any
time year people way day man thing woman life child world school state family
student group country problem hand part place case week company system program
question work government number night point home water room mother area money
story fact month lot right study book eye job word business issue side kind head
house service friend father power hour game line end member law car city garden
river mountain village teacher doctor market window table letter song bird horse
road morning evening winter summer island forest ocean bridge kitchen machine
""".split()
NOUNS = WORDS[17:]
VERBS = """
found made saw took gave told asked kept left brought began showed heard played
moved lived believed held wrote stood lost paid met included continued learned
changed led understood watched followed stopped created spoke read spent grew
opened walked won offered remembered loved considered appeared bought waited
served died sent expected built stayed fell reached killed raised passed sold
""".split()
ADJECTIVES = """
good new first last long great little own other old right big high different
small large next early young important few public bad same able late hard major
better economic strong possible whole free military true federal international
full special easy clear recent certain personal open red difficult available
likely short single medical current wrong private past foreign fine common poor
""".split()
NAMES = "Anna Ben Clara David Emma Felix Grace Henry Iris Jack Lena Max Nora Oscar".split()
ADVERBS = "quickly slowly often never always again soon today together outside".split()


def _invented(count, seed):
    """Made-up words of two to four syllables: places, people and things the
    text talks about, many enough for a vocabulary of several thousand pieces."""
    import random

    rng = random.Random(seed)
    onsets = "b c d f g h j k l m n p r s t v w z br cr dr gr pr st tr ch sh th".split()
    vowels = "a e i o u ai ea io ou".split()
    codas = ["", "", "n", "r", "s", "l", "m", "nd", "rt", "st"]
    words = set()
    while len(words) < count:
        n = rng.randint(2, 4)
        words.add("".join(rng.choice(onsets) + rng.choice(vowels) + rng.choice(codas) for _ in range(n)))
    return sorted(words)


INVENTED = _invented(3000, 11)


def noun(rng):
    return rng.choice(INVENTED[:2000]) if rng.random() < 0.25 else rng.choice(NOUNS)


def name(rng):
    return rng.choice(INVENTED[2000:]).capitalize() if rng.random() < 0.5 else rng.choice(NAMES)


def noun_phrase(rng):
    words = [rng.choice(WORDS[:17])]
    if rng.random() < 0.5:
        words.append(rng.choice(ADJECTIVES))
    words.append(noun(rng))
    return " ".join(words)


def sentence(rng):
    subject = name(rng) if rng.random() < 0.4 else noun_phrase(rng).capitalize()
    parts = [subject, rng.choice(VERBS), noun_phrase(rng)]
    if rng.random() < 0.3:
        parts.append(rng.choice(ADVERBS))
    if rng.random() < 0.3:
        parts.append("in %d" % rng.randint(1800, 2030))
    if rng.random() < 0.3:
        parts += ["and", rng.choice(VERBS), noun_phrase(rng)]
    return " ".join(parts) + rng.choice([".", ".", ".", "!", "?"])


def passage(rng, sentences):
    return " ".join(sentence(rng) for _ in range(sentences))


def corpus_lines(rng, n):
    return [passage(rng, rng.randint(1, 6)) for _ in range(n)]
