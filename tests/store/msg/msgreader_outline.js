// Reads a .msg file with @kenjiuno/msgreader and prints its outline: for the message and each
// attached message, a line "subject<TAB>attachments<TAB>recipients", attached messages after
// the message that holds them. Usage: node msgreader_outline.js FILE
'use strict';
const fs = require('fs');
const MsgReader = require('@kenjiuno/msgreader').default;

const out = [];
function outline(fields) {
  const attachments = fields.attachments || [];
  out.push([fields.subject || '', attachments.length, (fields.recipients || []).length].join('\t'));
  for (const a of attachments) if (a.innerMsgContent) outline(a.innerMsgContentFields);
}
outline(new MsgReader(fs.readFileSync(process.argv[2])).getFileData());
fs.writeSync(1, out.join('\n') + '\n');
