// Prints the reference tokenizer's answers for one tokenizer.json and a corpus, as JSON on
// standard output, for the C++ comparison tests to check our library against.
//
//   node reference.mjs TOKENIZER_JSON CORPUS_JSON
//
// Output: {"tokenizer": path, "encodes": [{name, text, add_special_tokens, ids, decoded}],
//          "decodes": [{name, ids, skip_special_tokens, text}]}
// "decoded" is the decode of "ids" with special tokens skipped; no decode cleans up spaces.
import fs from "node:fs";
import path from "node:path";
import { Tokenizer } from "@huggingface/tokenizers";

const [tokenizerPath, corpusPath] = process.argv.slice(2);
if (!tokenizerPath || !corpusPath) {
  process.stderr.write("usage: node reference.mjs TOKENIZER_JSON CORPUS_JSON\n");
  process.exit(2);
}

// tokenizer_config.json is deliberately not used: the library we mirror reads tokenizer.json alone.
const definition = JSON.parse(fs.readFileSync(tokenizerPath, "utf8"));
const tokenizer = new Tokenizer(definition, {});

const vocab = tokenizer.get_vocab(true);
let idEnd = 0;
for (const id of vocab.values()) idEnd = Math.max(idEnd, id + 1);
const added = [...tokenizer.get_added_tokens_decoder().entries()].sort((a, b) => a[0] - b[0]);
const specialIds = added.filter(([, t]) => t.special).map(([id]) => id);
const specialSet = new Set(specialIds);
const plainAddedIds = added.filter(([, t]) => !t.special).map(([id]) => id);

const encodeIds = (text, addSpecial = false) => tokenizer.encode(text, { add_special_tokens: addSpecial }).ids;

// Where the two libraries part, the answer is the library we mirror: a run of byte-fallback tokens
// ("<0xE5>") that is not valid UTF-8 as a whole becomes one U+FFFD per token there, while the
// reference writes one per invalid sequence and keeps the valid bytes. Such tokens are swapped for
// the vocabulary's own "\uFFFD" token before the reference decodes.
const hasByteFallback = JSON.stringify(definition.decoder ?? null).includes('"ByteFallback"');
const strictUtf8 = new TextDecoder("utf-8", { fatal: true });
const byteOf = (id) => {
  const m = /^<0x([0-9A-Fa-f]{2})>$/.exec(tokenizer.id_to_token(id) ?? "");
  return m ? Number.parseInt(m[1], 16) : -1;
};
const asDecodedByMirror = (ids, skip) => {
  if (!hasByteFallback) return ids;
  // Runs form among the ids that reach the decoder: unknown ids, and skipped special ones, drop out.
  const kept = ids.filter((id) => tokenizer.id_to_token(id) !== undefined && !(skip && specialSet.has(id)));
  const out = [];
  for (let i = 0; i < kept.length; ) {
    let j = i;
    while (j < kept.length && byteOf(kept[j]) >= 0) j++;
    if (j === i) {
      out.push(kept[i++]);
      continue;
    }
    const run = kept.slice(i, j);
    try {
      strictUtf8.decode(Uint8Array.from(run.map(byteOf)));
      out.push(...run);
    } catch {
      const replacement = tokenizer.token_to_id("\uFFFD");
      if (replacement === undefined) throw new Error("byte-fallback vocabulary without a U+FFFD token");
      for (let k = i; k < j; k++) out.push(replacement);
    }
    i = j;
  }
  return out;
};

// The reference refuses an empty list; the library we mirror decodes it to "".
const decode = (ids, skip) => {
  const mirrored = asDecodedByMirror(ids, skip);
  return mirrored.length === 0
    ? ""
    : tokenizer.decode(mirrored, { skip_special_tokens: skip, clean_up_tokenization_spaces: false });
};

function mulberry32(seed) {
  let a = seed >>> 0;
  return () => {
    a = (a + 0x6d2b79f5) >>> 0;
    let t = a;
    t = Math.imul(t ^ (t >>> 15), t | 1);
    t ^= t + Math.imul(t ^ (t >>> 7), t | 61);
    return ((t ^ (t >>> 14)) >>> 0) / 4294967296;
  };
}

const corpus = JSON.parse(fs.readFileSync(corpusPath, "utf8"));
const corpusDir = path.dirname(corpusPath);
const texts = [];
for (const entry of corpus) {
  let text;
  if (typeof entry.text === "string") text = entry.text;
  else if (typeof entry.file === "string") text = fs.readFileSync(path.join(corpusDir, entry.file), "utf8");
  else if (Number.isInteger(entry.concat_corpus)) text = texts.map((t) => t.text).join("").repeat(entry.concat_corpus);
  else if (entry.random) {
    // Seeded strings of pieces that sit badly together: the same texts on every run.
    const { count, seed, max_pieces: maxPieces, pieces } = entry.random;
    const next = mulberry32(seed);
    for (let n = 1; n <= count; n++) {
      let s = "";
      for (let k = 1 + Math.floor(next() * maxPieces); k > 0; k--) s += pieces[Math.floor(next() * pieces.length)];
      texts.push({ name: `${entry.name} ${n}`, text: s });
    }
    continue;
  } else throw new Error(`corpus entry without text: ${JSON.stringify(entry)}`);
  texts.push({ name: entry.name, text });
}

const encodes = [];
const decodes = [];
const addDecode = (name, ids, skip) => decodes.push({ name, ids, skip_special_tokens: skip, text: decode(ids, skip) });

const addEncode = (name, text, addSpecial) => {
  const ids = encodeIds(text, addSpecial);
  encodes.push({ name, text, add_special_tokens: addSpecial, ids, decoded: decode(ids, true) });
};
for (const { name, text } of texts) addEncode(name, text, false);
// The chat front end never adds special tokens; a few cases keep the post-processor honest.
const withAdded = ["plain sentence", "chatml default prompt", "empty text", "leading spaces"];
for (const { name, text } of texts.filter((t) => withAdded.includes(t.name))) addEncode(`${name}, special tokens added`, text, true);

// Special tokens between ordinary ones: dropped when skipping, spelled out otherwise.
const hello = encodeIds("Hello, world! 1 2 3");
const withSpecials = [hello[0], ...specialIds.slice(0, 4), ...hello.slice(1, 3), ...specialIds, ...hello.slice(3)];
addDecode("special ids among text", withSpecials, true);
addDecode("special ids among text", withSpecials, false);
if (plainAddedIds.length > 0) addDecode("non-special added ids among text", [...hello, ...plainAddedIds, ...hello], true);

// Ids past the vocabulary are skipped. Only with special tokens skipped: where the file names an
// unknown token, the reference spells such ids as that token, which the library we mirror does not.
const outOfRange = [idEnd, idEnd + 1, idEnd + 1000, 2 ** 31 - 1, 2 ** 31, 2 ** 32 - 1];
addDecode("ids past the vocabulary among text", [...hello.slice(0, 2), ...outOfRange, ...hello.slice(2)], true);
addDecode("ids past the vocabulary alone", outOfRange, true);

// Growing prefixes, as a chat turn decodes its answer after every token: cuts through
// multi-byte characters and byte-fallback sequences.
const streamed = ["zwj families", "flags", "skin tones", "devanagari", "chinese", "decomposed e acute",
  "chatml default prompt", "control characters", "unicode spaces", "literal byte tokens"];
for (let n = 1; n <= 20; n++) streamed.push(`random mix ${n}`);
for (const { name, text } of texts.filter((t) => streamed.includes(t.name))) {
  const ids = encodeIds(text);
  for (let k = 1; k <= ids.length; k++) addDecode(`${name}, first ${k} ids`, ids.slice(0, k), true);
}

// Seeded random id lists, special and unknown ids among them: any neighbours a decoder may meet.
const randomIds = mulberry32(77);
for (let n = 1; n <= 300; n++) {
  const ids = [];
  let unknown = false;
  for (let k = 1 + Math.floor(randomIds() * 40); k > 0; k--) {
    const pick = randomIds();
    if (pick < 0.05) {
      ids.push(idEnd + Math.floor(randomIds() * 1000));
      unknown = true;
    } else if (pick < 0.15) ids.push(specialIds[Math.floor(randomIds() * specialIds.length)]);
    else if (pick < 0.35) ids.push(Math.floor(randomIds() * Math.min(idEnd, 512)));
    else ids.push(Math.floor(randomIds() * idEnd));
  }
  addDecode(`random ids ${n}`, ids, true);
  if (!unknown) addDecode(`random ids ${n}`, ids, false);
}

// The whole vocabulary, in runs of consecutive ids; every 16th run is also encoded back.
const RUN = 256;
for (let start = 0; start < idEnd; start += RUN) {
  const ids = [];
  for (let id = start; id < Math.min(start + RUN, idEnd); id++) if (tokenizer.id_to_token(id) !== undefined) ids.push(id);
  if (ids.length === 0) continue;
  const name = `vocabulary ids ${start}..${start + RUN - 1}`;
  addDecode(name, ids, true);
  if ((start / RUN) % 16 === 0) {
    addEncode(`text of ${name}`, decode(ids, false), false);
  }
}

process.stdout.write(JSON.stringify({ tokenizer: tokenizerPath, encodes, decodes }));
