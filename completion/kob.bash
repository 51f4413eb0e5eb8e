# SPDX-License-Identifier: GPL-2.0-or-later
# bash completion for kob and kobcat (installed as
# share/bash-completion/completions/kob, and kobcat as a link to it).
#
# Completes kob's options; after -o a path; after -b, -s, -B and -T a
# number (with k, M or G once digits are typed); file names otherwise:
# packed ones (*.kob, and folders) when unpacking, testing or listing
# (-d, -t, -l, or as kobcat), any file when packing.

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
    -k --keep -t --test -l --list -i --index -b --offset -s --size
    -B --chunk-size -T --threads -1 -2 -3 -4 -5 -6 -7 -8 -9 --fast --best
    --level --recover -v --verbose -q --quiet -V --version -h --help"

  COMPREPLY=()
  case $prev in
    -o | --output)
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

  # Which files: packed ones when unpacking, testing or listing.
  local packed="" word flags i=1 options_end=""
  [[ ${COMP_WORDS[0]##*/} == kobcat ]] && packed=1
  while ((i < COMP_CWORD)); do
    word=${COMP_WORDS[i]}
    ((i++))
    case $word in
      --)
        options_end=1
        break
        ;;
      --decompress | --test | --list | --recover) packed=1 ;;
      -[!-]*)
        # A cluster of short flags, up to one that takes a value (-dcb 5).
        flags=${word:1}
        flags=${flags%%[obsBT]*}
        [[ $flags == *[dtl]* ]] && packed=1
        ;;
    esac
  done

  if [[ $cur == -* && -z $options_end ]]; then
    mapfile -t COMPREPLY < <(compgen -W "$options" -- "$cur")
    return
  fi
  compopt -o filenames 2>/dev/null
  if [[ -n $packed ]]; then
    mapfile -t COMPREPLY < <(compgen -f -X '!*.kob' -- "$cur"; compgen -d -- "$cur")
  else
    mapfile -t COMPREPLY < <(compgen -f -- "$cur")
  fi
}

complete -F _kob kob kobcat
