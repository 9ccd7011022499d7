// Times the reference tokenizer for bench/bench_tokenizer.cpp, which prints it beside ours.
//
//   node bench.mjs TOKENIZER_JSON PROMPT_FILE ROUNDS
//
// Prints JSON with per-round milliseconds: "load" (read, parse and build a tokenizer), "first_encode"
// (the prompt on that freshly built tokenizer), "encode" (the prompt again, caches warm), "decode"
// (the prompt's ids, special tokens skipped), and "ids" (the prompt's id count).
import fs from "node:fs";
import { Tokenizer } from "@huggingface/tokenizers";

const [tokenizerPath, promptPath, roundsArg] = process.argv.slice(2);
if (!tokenizerPath || !promptPath) {
  process.stderr.write("usage: node bench.mjs TOKENIZER_JSON PROMPT_FILE [ROUNDS]\n");
  process.exit(2);
}
const rounds = Number.parseInt(roundsArg ?? "5", 10);
const prompt = fs.readFileSync(promptPath, "utf8");
const options = { add_special_tokens: false };
const now = () => Number(process.hrtime.bigint()) / 1e6;

const result = { load: [], first_encode: [], encode: [], decode: [], ids: 0 };
let tokenizer = null;
for (let r = 0; r < rounds; r++) {
  let t = now();
  tokenizer = new Tokenizer(JSON.parse(fs.readFileSync(tokenizerPath, "utf8")), {});
  result.load.push(now() - t);
  t = now();
  const ids = tokenizer.encode(prompt, options).ids;
  result.first_encode.push(now() - t);
  result.ids = ids.length;
}
const ids = tokenizer.encode(prompt, options).ids;
for (let r = 0; r < rounds * 4; r++) {
  let t = now();
  tokenizer.encode(prompt, options);
  result.encode.push(now() - t);
  t = now();
  tokenizer.decode(ids, { skip_special_tokens: true, clean_up_tokenization_spaces: false });
  result.decode.push(now() - t);
}
process.stdout.write(JSON.stringify(result));
