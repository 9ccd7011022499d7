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
const tokenizer = new Tokenizer(JSON.parse(fs.readFileSync(tokenizerPath, "utf8")), {});

const encodeIds = (text, addSpecial = false) => tokenizer.encode(text, { add_special_tokens: addSpecial }).ids;
// The reference refuses an empty list; the library we mirror decodes it to "".
const decode = (ids, skip) =>
  ids.length === 0 ? "" : tokenizer.decode(ids, { skip_special_tokens: skip, clean_up_tokenization_spaces: false });

const corpus = JSON.parse(fs.readFileSync(corpusPath, "utf8"));
const corpusDir = path.dirname(corpusPath);
const texts = [];
for (const entry of corpus) {
  let text;
  if (typeof entry.text === "string") text = entry.text;
  else if (typeof entry.file === "string") text = fs.readFileSync(path.join(corpusDir, entry.file), "utf8");
  else if (Number.isInteger(entry.concat_corpus)) text = texts.map((t) => t.text).join("").repeat(entry.concat_corpus);
  else throw new Error(`corpus entry without text: ${JSON.stringify(entry)}`);
  texts.push({ name: entry.name, text });
}

const vocab = tokenizer.get_vocab(true);
let idEnd = 0;
for (const id of vocab.values()) idEnd = Math.max(idEnd, id + 1);
const added = [...tokenizer.get_added_tokens_decoder().entries()].sort((a, b) => a[0] - b[0]);
const specialIds = added.filter(([, t]) => t.special).map(([id]) => id);
const plainAddedIds = added.filter(([, t]) => !t.special).map(([id]) => id);

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
  "chatml default prompt", "control characters", "unicode spaces"];
for (const { name, text } of texts.filter((t) => streamed.includes(t.name))) {
  const ids = encodeIds(text);
  for (let k = 1; k <= ids.length; k++) addDecode(`${name}, first ${k} ids`, ids.slice(0, k), true);
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
