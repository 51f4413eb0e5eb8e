# SPDX-License-Identifier: GPL-2.0-or-later
# bash completion for kob and kobcat (installed as
# share/bash-completion/completions/kob, and kobcat as a link to it).
#
# Completes kob's options; after -o, --index-file and --cacert a path;
# after -b, -s, -B and -T a number (with k, M or G once digits are typed);
# file names otherwise, by what the command line does with them: packed
# ones (*.kob, and folders) when unpacking, testing, listing or recovering
# (-d, -t, -l, --recover, --seal, -b, -s, or as kobcat); files to pack (not
# *.kob nor the indexes *.kbi, and folders) when packing; both with -i,
# which packs or indexes what it is given.

_kob() {
  local cur=${COMP_WORDS[COMP_CWORD]} prev=""
  ((COMP_CWORD > 0)) && prev=${COMP_WORDS[COMP_CWORD - 1]}
  # --opt=value arrives as "--opt" "=" "value".
  if [[ $cur == "=" ]]; then
    prev=${COMP_WORDS[COMP_CWORD - 1]}
    cur=""
  elif [[ $prev == "=" ]] && ((COMP_CWORD > 1)); then
    prev=${COMP_WORDS[COMP_CWORD - 2]}
  fi

  local options="-d --decompress -c --stdout -o --output -f --force --rm
    -k --keep -t --test -l --list --json -i --index --index-file --cacert
    -b --offset -s --size -B --chunk-size -T --threads -1 -2 -3 -4 -5 -6 -7
    -8 -9 --fast --best --level --recover --seal --no-seal -v --verbose
    -q --quiet -V
    --version -h --help"

  COMPREPLY=()
  case $prev in
    -o | --output | --index-file | --cacert)
      compopt -o filenames 2>/dev/null
      mapfile -t COMPREPLY < <(compgen -f -- "$cur")
      return
      ;;
    -b | --offset | -s | --size | -B | --chunk-size | -T | --threads | --level)
      if [[ $cur =~ ^[0-9]+$ ]]; then
        COMPREPLY=("$cur" "${cur}k" "${cur}M" "${cur}G")
      elif [[ -z $cur ]]; then
        case $prev in
          -B | --chunk-size) COMPREPLY=(4k 16384 32k 65535) ;;
          --level) COMPREPLY=(1 2 3 4 5 6 7 8 9) ;;
          -T | --threads)
            local cores
            cores=$(nproc 2>/dev/null || echo 1)
            mapfile -t COMPREPLY < <(seq 0 "$cores")
            ;;
          *) COMPREPLY=(0) ;;
        esac
      fi
      return
      ;;
  esac

  # What the words before say: packed files are read (-d, -t, -l,
  # --recover, a range), or -i packs and indexes. A value of an option is
  # passed over, so that "-o -d" or "-b 5" is no mode.
  local packed="" indexing="" word flags head letter i=1 options_end=""
  [[ ${COMP_WORDS[0]##*/} == kobcat ]] && packed=1
  while ((i < COMP_CWORD)); do
    word=${COMP_WORDS[i]}
    ((i++))
    case $word in
      --)
        options_end=1
        break
        ;;
      --decompress | --test | --list | --recover | --seal) packed=1 ;;
      --index) indexing=1 ;;
      --offset | --size | --output | --chunk-size | --threads | --level | --index-file | --cacert)
        [[ $word == --offset || $word == --size ]] && packed=1
        # Its value: the next word, or "=" and the one after.
        if [[ ${COMP_WORDS[i]:-} == "=" ]]; then ((i += 2)); else ((i++)); fi
        ;;
      -[!-]*)
        # A cluster of short flags, up to one that takes a value (-dcb 5),
        # whose value is the rest of the word or the next word.
        flags=${word:1}
        head=${flags%%[obsBT]*}
        letter=${flags:${#head}:1}
        [[ $head == *[dtl]* || $letter == [bs] ]] && packed=1
        [[ $head == *i* ]] && indexing=1
        [[ -n $letter && ${#flags} -eq $((${#head} + 1)) ]] && ((i++))
        ;;
    esac
  done

  if [[ $cur == -* && -z $options_end ]]; then
    mapfile -t COMPREPLY < <(compgen -W "$options" -- "$cur")
    return
  fi
  compopt -o filenames 2>/dev/null
  if [[ -n $packed ]]; then
    _kob_files "$cur" only '*.kob'
  elif [[ -n $indexing ]]; then
    _kob_files "$cur" not '*.kbi'
  else
    _kob_files "$cur" not '*.kob' '*.kbi'
  fi
}

# _kob_files WORD only|not PATTERN...: the names that complete WORD and
# match one of the patterns (only) or none (not), and every folder.
_kob_files() {
  local word=$1 how=$2 name pattern matched
  shift 2
  while IFS= read -r name; do
    matched=""
    for pattern in "$@"; do
      # shellcheck disable=SC2053
      [[ $name == $pattern ]] && matched=1
    done
    if [[ -d $name || ($how == only && -n $matched) || ($how == not && -z $matched) ]]; then
      COMPREPLY+=("$name")
    fi
  done < <(compgen -f -- "$word")
}

complete -F _kob kob kobcat
